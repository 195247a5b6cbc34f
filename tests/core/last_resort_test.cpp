// Why: an allocation that fails (a library reporting 2^31 controllers once
// ended this way) or an exception nobody caught must end the program with a
// message, not a bare signal 6.
#include "app/last_resort.h"

#include <gtest/gtest.h>

#include <exception>
#include <new>
#include <stdexcept>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

TEST(LastResortDeathTest, AllocationFailureEndsWithAMessage) {
  // AddressSanitizer reports an impossible size itself, before any handler.
  if (kSanitized) GTEST_SKIP() << "AddressSanitizer answers an impossible allocation itself";
  EXPECT_EXIT(
      {
        stage::app::InstallLastResortHandlers();
        volatile std::size_t huge = std::size_t{1} << 62;
        void* memory = ::operator new(huge);
        ::operator delete(memory);
      },
      ::testing::ExitedWithCode(1), "stage-console: out of memory. Application is aborting.");
}

TEST(LastResortDeathTest, UncaughtExceptionEndsWithAMessage) {
  EXPECT_EXIT(
      {
        stage::app::InstallLastResortHandlers();
        // As when an exception leaves an event handler: terminate with it
        // as the current exception.
        try {
          throw std::runtime_error("table index");
        } catch (...) {
          std::terminate();
        }
      },
      ::testing::ExitedWithCode(1), "stage-console: internal error: table index. Application is aborting.");
}

}  // namespace
