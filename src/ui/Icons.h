#pragma once

#include <QIcon>
#include <QPixmap>

namespace norva {

// The program's pictures, drawn as SVG and rendered at the size each place needs.
namespace Icons {

// Makes the pictures of the resource file available; safe to call more than once.
void Init();

QPixmap RedHeart(int size);   // failure
QPixmap GreenHeart(int size); // responding
QPixmap GreyHeart(int size);  // stopped
QPixmap Power(int size);      // the program's emblem
QPixmap Warning(int size);    // the pending-action warning

// The tray's pictures by index: 0 green, 1 red, 2 emblem, 3 grey.
QIcon TrayPicture(int index);

} // namespace Icons
} // namespace norva
