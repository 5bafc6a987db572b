#pragma once
// The end of a remote session's input, for the coordinator's session removal and remote stop: the phone
// pointer sessions the tablet named are ended by one last queued operation, behind every command still
// waiting, and the session stops executing what the tablet sent.
#include <boost/asio/awaitable.hpp>

#include <functional>
#include <set>
#include <string>

#include "remote/remote_phone_pointer_queue.hpp"
#include "remote/remote_session_lifetime.hpp"

namespace veltrano {

// Ends the given pointer sessions on the input handler (the coordinator hops to the main thread for it).
using EndPhonePointerSessions = std::function<boost::asio::awaitable<void>(std::set<std::string> pointerSessions)>;

// Queues `endSessions` for the recorded pointer sessions when there are any, then deactivates `lifetime`.
void endRemoteSessionInput(RemotePhonePointerQueue& queue, RemoteSessionLifetime& lifetime,
                           EndPhonePointerSessions endSessions);

}  // namespace veltrano
