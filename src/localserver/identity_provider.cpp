#include "localserver/identity_provider.hpp"

#include <utility>

namespace veltrano {

IdentityProvider identityProviderOrAccountKeyFile(IdentityProvider provider) {
  if (provider) return provider;
  return [] { return VeltranoIdentity::loadOrCreate(); };
}

}  // namespace veltrano
