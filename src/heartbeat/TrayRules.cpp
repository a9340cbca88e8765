#include "heartbeat/TrayRules.h"

namespace norva {

TrayLook TrayFor(TrayState state, bool statusInTray, bool hint) {
    if (state == TrayState::ServiceAway)
        return {TrayPicture::NotRunning, "The NorvaHB service is not running", hint};
    if (!statusInTray)
        return {TrayPicture::Plain, "Norva utility", hint};
    switch (state) {
    case TrayState::Responding:
        return {TrayPicture::Responding, "Norva is responding", hint};
    case TrayState::NotResponding:
        return {TrayPicture::NotResponding, "Norva is not responding", hint};
    case TrayState::Stopped:
    case TrayState::ServiceAway:
        break;
    }
    return {TrayPicture::NotRunning, "Heartbeat is not running", hint};
}

} // namespace norva
