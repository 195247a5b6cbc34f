// A per-axis control family: element 0 is designed, elements 1..AxisCount are
// created at run time as hidden copies of it. Every element carries the
// family's name as its object name and its element index as the "index"
// property, so `Text1` element 2 can be found by name.
#pragma once

#include <QList>
#include <QString>
#include <QVariant>
#include <QWidget>
#include <cstddef>

namespace stage::ui {

inline constexpr const char* kIndexProperty = "index";

inline void NameElement(QWidget* element, const char* family, int index) {
  element->setObjectName(QString::fromLatin1(family));
  element->setProperty(kIndexProperty, index);
}

// Element `index` of family `family` among the children of `window`, or nullptr.
template <typename T>
T* FindElement(const QWidget* window, const QString& family, int index) {
  const auto candidates = window->findChildren<T*>(family);
  for (T* candidate : candidates) {
    if (candidate->property(kIndexProperty).toInt() == index) return candidate;
  }
  return nullptr;
}

// The elements of one family, by index.
template <typename T>
class ControlFamily {
 public:
  T* operator[](std::size_t index) const { return elements_.at(static_cast<qsizetype>(index)); }
  T* operator[](int index) const { return elements_.at(index); }
  qsizetype size() const { return elements_.size(); }
  void Append(T* element) { elements_.append(element); }
  auto begin() const { return elements_.begin(); }
  auto end() const { return elements_.end(); }

 private:
  QList<T*> elements_;
};

}  // namespace stage::ui
