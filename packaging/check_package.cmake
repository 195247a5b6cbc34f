# Why this exists: a package is what a lab installs, and nothing else checks
# it. Each STEP is one CTest entry (packaging/CMakeLists.txt):
#   build     cpack -G DEB from the test build, then unpack it into ROOT
#   contents  the control fields, and exactly the EXPECTED files, all under
#             /usr or /lib/udev
#   run       the unpacked program: --version, --help, a render of the windows
#   desktop   desktop-file-validate on the unpacked menu entry, silent
#   metainfo  appstreamcli validate --no-net on the unpacked metainfo
#   manual    man -l renders the unpacked page without a warning, and it
#             names every option the program's --help lists
#   lintian   no error and no warning
#
#   cmake -DSTEP=... -DDEB=... -DROOT=... [-DBUILD_DIR= -DVERSION= -DARCH=
#         -DEXPECTED=a|b -DAPP_ID=] -P check_package.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 240)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "${ARGN}\nended with \"${status}\"\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

function(expect text regex what)
  if(NOT text MATCHES "${regex}")
    message(FATAL_ERROR "${what}: does not match ${regex}:\n${text}")
  endif()
endfunction()

set(program ${ROOT}/usr/bin/stage-console)

if(STEP STREQUAL "build")
  file(REMOVE ${DEB})
  run(cpack -G DEB --config ${BUILD_DIR}/CPackConfig.cmake)
  file(REMOVE_RECURSE ${ROOT})
  run(dpkg-deb -x ${DEB} ${ROOT})

elseif(STEP STREQUAL "contents")
  foreach(field Package Version Architecture Maintainer Section Priority Depends Recommends Description)
    run(dpkg-deb -f ${DEB} ${field})
    set(${field} "${out}")
  endforeach()
  expect("${Package}" "^stage-console\n$" "Package")
  expect("${Version}" "^${VERSION}\n$" "Version")
  expect("${Architecture}" "^${ARCH}\n$" "Architecture")
  expect("${Maintainer}" "^[^<\n]+ <[^@>\n]+@[^>\n]+>\n$" "Maintainer")
  expect("${Section}" "^science\n$" "Section")
  expect("${Priority}" "^optional\n$" "Priority")
  # Computed from the program's libraries, so Qt and the C++ runtime are in.
  expect("${Depends}" "libqt6widgets6 \\(>= [^)]+\\)" "Depends")
  expect("${Depends}" "libstdc\\+\\+6 \\(>= [^)]+\\)" "Depends")
  expect("${Recommends}" "^fonts-liberation\n$" "Recommends")
  # A summary line, then a long description of several lines.
  expect("${Description}" "^[a-z][^\n]+\n [^\n]+\n [^\n]+\n" "Description")

  run(dpkg-deb -c ${DEB})
  string(REPLACE "\n" ";" lines "${out}")
  set(files)
  foreach(line IN LISTS lines)
    if(line STREQUAL "")
      continue()
    endif()
    string(REGEX REPLACE "^.* \\./" "" path "${line}")
    if(NOT path MATCHES "^(usr/|lib/$|lib/udev/)")
      message(FATAL_ERROR "outside /usr and /lib/udev: ${line}")
    endif()
    if(NOT line MATCHES "^d")
      list(APPEND files ${path})
    endif()
  endforeach()
  string(REPLACE "|" ";" expected "${EXPECTED}")
  list(SORT expected)
  list(SORT files)
  if(NOT files STREQUAL expected)
    set(missing ${expected})
    list(REMOVE_ITEM missing ${files})
    set(extra ${files})
    list(REMOVE_ITEM extra ${expected})
    message(FATAL_ERROR "the package's files differ from the expected.\nmissing: ${missing}\nextra: ${extra}")
  endif()

elseif(STEP STREQUAL "run")
  run(${program} --version)
  expect("${out}" "^stage-console ${VERSION}\nCopyright \\(C\\) [0-9]+ [^\n]+\nLicense GPLv3\\+: " "--version")
  run(${program} --help)
  expect("${out}" "^Usage: stage-console " "--help")
  # The stripped program starts its windows, icon and fonts included.
  file(REMOVE_RECURSE ${ROOT}-render)
  run(${program} --simulate 2 --render-windows ${ROOT}-render)
  foreach(picture motor-settings main-window axis-controls)
    if(NOT EXISTS ${ROOT}-render/${picture}.png)
      message(FATAL_ERROR "--render-windows wrote no ${picture}.png")
    endif()
  endforeach()

elseif(STEP STREQUAL "desktop")
  run(desktop-file-validate ${ROOT}/usr/share/applications/${APP_ID}.desktop)
  if(NOT "${out}${err}" STREQUAL "")
    message(FATAL_ERROR "desktop-file-validate:\n${out}${err}")
  endif()

elseif(STEP STREQUAL "metainfo")
  run(appstreamcli validate --no-net ${ROOT}/usr/share/metainfo/${APP_ID}.metainfo.xml)
  message(STATUS "${out}")

elseif(STEP STREQUAL "manual")
  set(ENV{LC_ALL} C.UTF-8)
  set(ENV{MANWIDTH} 80)
  set(ENV{MANROFFSEQ} "")
  run(man --warnings -E UTF-8 -l -Tutf8 -Z ${ROOT}/usr/share/man/man1/stage-console.1.gz)
  if(NOT err STREQUAL "")
    message(FATAL_ERROR "man -l warns:\n${err}")
  endif()
  # Not on a terminal, man gives plain text; lines this wide break no option.
  set(ENV{MANWIDTH} 1000)
  run(man -l ${ROOT}/usr/share/man/man1/stage-console.1.gz)
  set(page "${out}")
  foreach(section NAME SYNOPSIS DESCRIPTION OPTIONS KEYBOARD FILES ENVIRONMENT "EXIT STATUS" EXAMPLES)
    expect("${page}" "\n${section}\n" "the manual page's sections")
  endforeach()
  run(${program} --help)
  string(REGEX MATCHALL "\n  (-[a-z], )?--[a-z-]+" options "${out}")
  list(LENGTH options count)
  if(count LESS 5)
    message(FATAL_ERROR "found only ${count} options in --help:\n${out}")
  endif()
  foreach(option IN LISTS options)
    string(REGEX REPLACE "^\n  (-[a-z], )?" "" option "${option}")
    string(FIND "${page}" "${option}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "the manual page does not describe ${option}")
    endif()
  endforeach()

elseif(STEP STREQUAL "lintian")
  run(lintian --fail-on error,warning ${DEB})
  message(STATUS "${out}")

else()
  message(FATAL_ERROR "check_package.cmake: unknown STEP '${STEP}'")
endif()
