// The cores behind the tap: the real core (ZQ_TAP_CORE) and, when
// ZQ_TAP_STANDIN names it, the stand-in, for a process that both records
// (calls routed to the real core) and replays (routed to the stand-in).
#pragma once

#include <string>

namespace tap {

extern std::string g_core_path;
extern std::string g_standin_path;  // "" without a stand-in

void load_cores();  // at the first call; on failure says why on stderr and ends the process
// Routes calls to the real core (true) or the stand-in; false when there is no stand-in.
bool set_route(bool to_real_core, bool& was_real);
void callback_registered(bool any);  // a callback (or none) was given to the routed core

}  // namespace tap
