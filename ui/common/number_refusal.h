// What the windows say about a typed number they cannot take as meant: a
// comma that may separate thousands ("1,000") or that stands with a point
// ("1.234,5"). Both the target boxes and the mechanics fields refuse such a
// number with these words rather than guess.
#pragma once

#include <QString>

namespace stage::ui {

// The text as typed, for a message: without surrounding blanks, and cut
// after 24 characters.
inline QString QuotedEntry(const QString& typed) {
  constexpr qsizetype kMaxQuotedChars = 24;
  QString trimmed = typed.trimmed();
  if (trimmed.size() <= kMaxQuotedChars) return trimmed;
  return trimmed.left(kMaxQuotedChars) + QStringLiteral("...");
}

// One sentence: why the number is not understood and how to type it.
inline QString AmbiguousCommaAdvice() {
  return QStringLiteral("a comma there could separate thousands or mark decimals. "
                        "Type a point for decimals and no thousands separator.");
}

}  // namespace stage::ui
