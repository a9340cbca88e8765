#include "commands/PowerActions.h"

#include "platform/PowerBackend.h"

namespace norva {

void PowerActions::doRestart() {
    emit captionRequested("DO restart");
    power_.reboot();
}

void PowerActions::doShutdown() {
    emit captionRequested("DO Shutdown");
    power_.powerOff();
}

} // namespace norva
