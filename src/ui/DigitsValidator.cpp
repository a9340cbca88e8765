#include "ui/DigitsValidator.h"

#include <QLineEdit>

#include <algorithm>

namespace norva {

namespace {

qsizetype nonDigits(const QString& text) {
    return std::count_if(text.begin(), text.end(),
                         [](QChar c) { return c < QLatin1Char('0') || c > QLatin1Char('9'); });
}

} // namespace

DigitsValidator::DigitsValidator(int limit, QLineEdit* field)
    : QValidator(field), limit_(limit), field_(field), before_(field->text()) {
    // The field validates a changed text before it announces it, so this still holds the
    // text from before the change while validate() runs; a refused edit is undone and
    // announces nothing.
    connect(field, &QLineEdit::textChanged, this, [this](const QString& text) { before_ = text; });
}

QValidator::State DigitsValidator::validate(QString& input, int& /*pos*/) const {
    // setText() clears the field's undo history, while every edit of the user's is put on it
    // before the new text is checked: an empty history means the program set this text.
    // Refusing it would not stop it being shown (setText is never undone), but it would
    // leave the field believing its input invalid, and such a field lets the next edit
    // through unchecked.
    if (!field_->isUndoAvailable())
        return Acceptable;
    const qsizetype longest = std::max<qsizetype>(limit_, before_.size());
    if (input.size() > longest || nonDigits(input) > nonDigits(before_))
        return Invalid;
    return Acceptable;
}

} // namespace norva
