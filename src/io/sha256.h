// Sha256: incremental SHA-256 over OpenSSL's EVP interface, finished as 64
// lower-case hexadecimal characters, the form every digest of the programs takes.
// Move-only; not thread-safe (one hasher per pass).
#ifndef RAVIK_IO_SHA256_H_
#define RAVIK_IO_SHA256_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace ravik {

class Sha256 {
 public:
  Sha256();
  Sha256(Sha256&&) noexcept = default;
  Sha256& operator=(Sha256&&) noexcept = default;
  ~Sha256() = default;

  void update(std::span<const std::uint8_t> bytes);
  // Returns the digest of everything fed so far and starts over.
  std::string finish_hex();

  // The digest of `bytes` alone.
  static std::string hex_of(std::span<const std::uint8_t> bytes);

  // Makes OpenSSL load its configuration and SHA-256 implementation now
  // (milliseconds, once per process) rather than in the first hasher.
  static void load_implementation();

 private:
  struct ContextDeleter {
    void operator()(void* context) const;
  };
  // An EVP_MD_CTX; kept opaque so that users need no OpenSSL headers.
  std::unique_ptr<void, ContextDeleter> context_;
};

}  // namespace ravik

#endif  // RAVIK_IO_SHA256_H_
