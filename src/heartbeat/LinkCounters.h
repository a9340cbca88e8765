#pragma once

#include <cstdint>

namespace norva {

// One link's heartbeat counters: heartbeats sent, answers received, negative answers ("nak",
// the network link's only: the serial link has none and keeps it 0) and heartbeats that went
// unanswered in time. The monitors count them; whoever shows or exports them (the window, the
// bus, the metrics file, the admin's tools) takes them as this one value.
struct LinkCounters {
    std::uint32_t sent = 0;
    std::uint32_t received = 0;
    std::uint32_t nak = 0;
    std::uint32_t missed = 0;

    friend bool operator==(const LinkCounters&, const LinkCounters&) = default;
};

// The two links the counters belong to.
enum class Link { Network, Usb };

} // namespace norva
