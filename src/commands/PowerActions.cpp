#include "commands/PowerActions.h"

#include "platform/PowerBackend.h"
#include "ui/StatusView.h"

namespace norva {

void PowerActions::doRestart() {
    view_.setCaption("DO restart");
    power_.reboot();
}

void PowerActions::doShutdown() {
    view_.setCaption("DO Shutdown");
    power_.powerOff();
}

} // namespace norva
