#pragma once

#include <QString>
#include <QValidator>

class QLineEdit;

namespace norva {

// The input rule of the settings page's numeric fields, for what the user types, pastes or
// drops: digits only, and no longer than `limit` characters. It holds the user's edits only:
// a text the program sets (QLineEdit::setText, say a value edited into the settings file by
// hand) is shown whole, so an Apply stores it unchanged. The user may shorten such a text
// but never lengthen it or add a character that is not a digit.
//
// Install it on `field`, which it watches; it is a child of the field.
class DigitsValidator : public QValidator {
public:
    DigitsValidator(int limit, QLineEdit* field);

    State validate(QString& input, int& pos) const override;

private:
    int limit_;
    QLineEdit* field_;
    QString before_; // the field's text before the edit being checked
};

} // namespace norva
