#include "io/sha256.h"

#include <openssl/evp.h>

#include <array>
#include <cstdlib>

#include "error/hex.h"

namespace ravik {
namespace {

EVP_MD_CTX* as_context(void* context) { return static_cast<EVP_MD_CTX*>(context); }

// A digest that cannot be computed leaves nothing sound to do: the helper
// would otherwise compare images against garbage. OpenSSL fails here only on
// allocation failure or a broken library.
void require(int ok) {
  if (ok != 1) std::abort();
}

void start(EVP_MD_CTX* context) {
  require(EVP_DigestInit_ex(context, EVP_sha256(), nullptr));
}

}  // namespace

void Sha256::ContextDeleter::operator()(void* context) const {
  EVP_MD_CTX_free(as_context(context));
}

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (!context_) std::abort();
  start(as_context(context_.get()));
}

void Sha256::update(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  require(EVP_DigestUpdate(as_context(context_.get()), bytes.data(), bytes.size()));
}

std::string Sha256::finish_hex() {
  std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  require(EVP_DigestFinal_ex(as_context(context_.get()), digest.data(), &length));
  start(as_context(context_.get()));
  return lower_hex(std::span(digest).first(length));
}

void Sha256::load_implementation() { (void)Sha256(); }

std::string Sha256::hex_of(std::span<const std::uint8_t> bytes) {
  Sha256 hasher;
  hasher.update(bytes);
  return hasher.finish_hex();
}

}  // namespace ravik
