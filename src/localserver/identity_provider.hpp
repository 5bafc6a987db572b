#pragma once
// The account identity the local servers prove in their handshakes.
#include <functional>

#include "transport/veltrano_identity.hpp"

namespace veltrano {

// Gives the account identity for one handshake; throws (VeltranoIdentityError) when it is unavailable.
using IdentityProvider = std::function<VeltranoIdentity()>;

// `provider`, or when it is empty one that reads the account key file again for every handshake.
IdentityProvider identityProviderOrAccountKeyFile(IdentityProvider provider);

}  // namespace veltrano
