// The one-shot hash, the same on every build: made of the piecewise calls each build
// implements.
#include "platform/crypto.h"

namespace plat {

bool Sha256(const void* data, size_t length, uint8_t digest[kSha256Size]) {
  Sha256Handle hash = StartSha256();
  if (hash == nullptr) return false;
  if (!AddToSha256(hash, data, length)) {
    AbandonSha256(hash);
    return false;
  }
  return FinishSha256(hash, digest);
}

}  // namespace plat
