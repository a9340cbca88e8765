#include "heartbeat/TrayRules.h"

#include <gtest/gtest.h>

namespace norva {
namespace {

struct TrayCase {
    TrayState state;
    bool statusInTray;
    TrayPicture picture;
    const char* text;
};

// The whole rule table: with "Show Status In Tray" the picture and text follow the state,
// without it the plain picture and "Norva utility", except for a service that is away, which
// the tray says whatever the box.
TEST(TrayRules, EachStateWithAndWithoutTheStatusInTheTray) {
    const TrayCase cases[] = {
        {TrayState::Responding, true, TrayPicture::Responding, "Norva is responding"},
        {TrayState::NotResponding, true, TrayPicture::NotResponding, "Norva is not responding"},
        {TrayState::Stopped, true, TrayPicture::NotRunning, "Heartbeat is not running"},
        {TrayState::ServiceAway, true, TrayPicture::NotRunning,
         "The NorvaHB service is not running"},
        {TrayState::Responding, false, TrayPicture::Plain, "Norva utility"},
        {TrayState::NotResponding, false, TrayPicture::Plain, "Norva utility"},
        {TrayState::Stopped, false, TrayPicture::Plain, "Norva utility"},
        {TrayState::ServiceAway, false, TrayPicture::NotRunning,
         "The NorvaHB service is not running"},
    };
    for (const TrayCase& c : cases) {
        for (const bool hint : {false, true}) {
            const TrayLook look = TrayFor(c.state, c.statusInTray, hint);
            EXPECT_EQ(look.picture, c.picture) << c.text;
            EXPECT_EQ(look.text, c.text);
            EXPECT_EQ(look.hint, hint);
        }
    }
    // The pictures keep the order of the tray's icon list.
    EXPECT_EQ(static_cast<int>(TrayPicture::Responding), 0);
    EXPECT_EQ(static_cast<int>(TrayPicture::NotRunning), 3);
}

} // namespace
} // namespace norva
