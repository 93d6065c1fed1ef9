// The crypto module on libgcrypt.
#include <gcrypt.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "crypto/crypto.h"

namespace crypto {
namespace {

// The library must be initialised once before its first use.  No secret of the updater
// lives in its memory, so secure memory (and its warnings) stays off.
void Initialise() {
  static const bool initialised = [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)initialised;
}

// The contexts of the signed message, each with its terminating NUL: of equal length,
// so that no message of one purpose is a message of the other.
constexpr std::string_view kPackageContext{"VXU-PACKAGE-SHA512\0", 19};
constexpr std::string_view kUpdaterContext{"VXU-UPDATER-SHA512\0", 19};
static_assert(kPackageContext.size() == kUpdaterContext.size());
static_assert(kPackageContext.size() + kDigestSize == kMessageSize);

// Owns an S-expression.
struct Sexp {
  gcry_sexp_t value = nullptr;
  ~Sexp() { gcry_sexp_release(value); }
};

// Owns a number.
struct Mpi {
  gcry_mpi_t value;
  Mpi() : value(gcry_mpi_new(0)) {}
  explicit Mpi(unsigned long small) : Mpi() { gcry_mpi_set_ui(value, small); }
  explicit Mpi(gcry_mpi_t adopted) : value(adopted) {}
  Mpi(const Mpi&) = delete;
  Mpi& operator=(const Mpi&) = delete;
  ~Mpi() { gcry_mpi_release(value); }
  operator gcry_mpi_t() const { return value; }
};

// The numbers of the curve that the key check needs, made once.
struct Curve {
  Mpi p, d, one{1}, two{2}, smallest, rootExponent, rootOfMinusOne;
  Curve() {
    gcry_mpi_set_bit(p, 255);
    gcry_mpi_sub_ui(p, p, 19);
    // d = -121665 / 121666
    Mpi denominator(121666), numerator(121665);
    gcry_mpi_invm(d, denominator, p);
    gcry_mpi_mulm(d, d, numerator, p);
    gcry_mpi_subm(d, p, d, p);
    // libgcrypt 1.10 ends the process ("different sizes") on a coordinate that fits in
    // fewer machine words than the field; below 2^224 that happens with 32-bit words too.
    gcry_mpi_set_bit(smallest, 224);
    // p = 5 (mod 8): a root of w is w^((p+3)/8), times the root of -1, 2^((p-1)/4).
    gcry_mpi_add_ui(rootExponent, p, 3);
    gcry_mpi_rshift(rootExponent, rootExponent, 3);
    Mpi quarter;
    gcry_mpi_sub_ui(quarter, p, 1);
    gcry_mpi_rshift(quarter, quarter, 2);
    gcry_mpi_powm(rootOfMinusOne, two, quarter, p);
  }
};

const Curve& Ed25519() {
  static const Curve curve;
  return curve;
}

// x^2 of the point with this y: (y^2 - 1) / (d y^2 + 1).  The divisor is never 0 mod p,
// for -1/d is no square.
void XSquared(const Curve& c, gcry_mpi_t y, gcry_mpi_t result) {
  Mpi yy, divisor;
  gcry_mpi_mulm(yy, y, y, c.p);
  gcry_mpi_mulm(divisor, c.d, yy, c.p);
  gcry_mpi_addm(divisor, divisor, c.one, c.p);
  gcry_mpi_invm(divisor, divisor, c.p);
  gcry_mpi_subm(result, yy, c.one, c.p);
  gcry_mpi_mulm(result, result, divisor, c.p);
}

// A square root of w into `root`; false when w has none.
bool SquareRoot(const Curve& c, gcry_mpi_t w, gcry_mpi_t root) {
  Mpi check;
  gcry_mpi_powm(root, w, c.rootExponent, c.p);
  gcry_mpi_mulm(check, root, root, c.p);
  if (gcry_mpi_cmp(check, w) == 0) return true;
  gcry_mpi_mulm(root, root, c.rootOfMinusOne, c.p);
  gcry_mpi_mulm(check, root, root, c.p);
  return gcry_mpi_cmp(check, w) == 0;
}

// y of the doubled point, from y and x^2: (y^2 + x^2) / (2 - y^2 + x^2).  The divisor
// equals 1 - d x^2 y^2 on the curve, which is never 0 since d is no square.
void DoubleY(const Curve& c, gcry_mpi_t y, gcry_mpi_t xx) {
  Mpi yy, divisor;
  gcry_mpi_mulm(yy, y, y, c.p);
  gcry_mpi_subm(divisor, c.two, yy, c.p);
  gcry_mpi_addm(divisor, divisor, xx, c.p);
  gcry_mpi_invm(divisor, divisor, c.p);
  gcry_mpi_addm(y, yy, xx, c.p);
  gcry_mpi_mulm(y, y, divisor, c.p);
}

// The checks of the key's encoding, in the curve's own numbers, so that libgcrypt only
// ever sees keys it handles.
bool IsSoundPoint(const Key& key) {
  const Curve& c = Ed25519();
  // Big-endian for the scan; the top bit is the sign of x, not part of y.
  Key bigEndian;
  std::reverse_copy(key.begin(), key.end(), bigEndian.begin());
  bigEndian[0] &= 0x7F;
  gcry_mpi_t scanned = nullptr;
  if (gcry_mpi_scan(&scanned, GCRYMPI_FMT_USG, bigEndian.data(), bigEndian.size(), nullptr) != 0) {
    return false;
  }
  const Mpi y(scanned);
  // y at least p is a second spelling of y - p: refused, so that a key has one encoding.
  if (gcry_mpi_cmp(y, c.p) >= 0 || gcry_mpi_cmp(y, c.smallest) < 0) return false;
  Mpi xx, x, negated;
  XSquared(c, y, xx);
  // x = 0 only for y = 1 and y = -1, the points of order 1 and 2.
  if (gcry_mpi_cmp_ui(xx, 0) == 0) return false;
  if (!SquareRoot(c, xx, x)) return false;  // no point of the curve has this y
  // Either root may be the x the sign bit picks.
  gcry_mpi_subm(negated, c.p, x, c.p);
  if (gcry_mpi_cmp(x, c.smallest) < 0 || gcry_mpi_cmp(negated, c.smallest) < 0) return false;
  // Small order: eight times the point is the neutral element, the one point with y = 1.
  Mpi multiple;
  gcry_mpi_set(multiple, y);
  for (int doubling = 0; doubling < 3; ++doubling) {
    XSquared(c, multiple, xx);
    DoubleY(c, multiple, xx);
  }
  return gcry_mpi_cmp_ui(multiple, 1) != 0;
}

// The 32 bytes of token `name` ("q", "d", "r", "s") of `sexp`, or nothing.
std::optional<Key> Token(gcry_sexp_t sexp, const char* name) {
  Sexp token{gcry_sexp_find_token(sexp, name, 0)};
  std::size_t length = 0;
  const char* data = token.value != nullptr ? gcry_sexp_nth_data(token.value, 1, &length) : nullptr;
  if (data == nullptr || length != kKeySize) return std::nullopt;
  Key bytes;
  std::memcpy(bytes.data(), data, kKeySize);
  return bytes;
}

gcry_error_t BuildMessage(gcry_sexp_t* data, Purpose purpose, const Digest& digest) {
  const Message message = SignedMessage(purpose, digest);
  return gcry_sexp_build(data, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                         static_cast<int>(message.size()), message.data());
}

gcry_error_t CheckSignature(const Key& key, Purpose purpose, const Digest& digest,
                            const Signature& signature) {
  Sexp publicKey, data, value;
  gcry_error_t error = gcry_sexp_build(&publicKey.value, nullptr,
                                       "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                                       static_cast<int>(key.size()), key.data());
  if (error == 0) error = BuildMessage(&data.value, purpose, digest);
  if (error == 0) {
    error = gcry_sexp_build(&value.value, nullptr, "(sig-val (eddsa (r %b) (s %b)))", 32,
                            signature.data(), 32, signature.data() + 32);
  }
  return error != 0 ? error : gcry_pk_verify(value.value, data.value, publicKey.value);
}

// A digest of `algorithm` fed piece by piece: nothing when the library cannot start one.
void* OpenDigest(int algorithm) {
  Initialise();
  gcry_md_hd_t state = nullptr;
  return gcry_md_open(&state, algorithm, 0) == 0 ? state : nullptr;
}

void CloseDigest(void* state) { gcry_md_close(static_cast<gcry_md_hd_t>(state)); }

void UpdateDigest(void* state, std::span<const std::uint8_t> bytes) {
  if (state != nullptr) gcry_md_write(static_cast<gcry_md_hd_t>(state), bytes.data(), bytes.size());
}

template <typename Result>
std::optional<Result> FinishDigest(void* state, int algorithm) {
  if (state == nullptr) return std::nullopt;
  const unsigned char* bytes = gcry_md_read(static_cast<gcry_md_hd_t>(state), algorithm);
  if (bytes == nullptr) return std::nullopt;
  Result digest;
  std::memcpy(digest.data(), bytes, digest.size());
  return digest;
}

}  // namespace

Message SignedMessage(Purpose purpose, const Digest& digest) {
  const std::string_view context = purpose == Purpose::kPackage ? kPackageContext : kUpdaterContext;
  Message message{};
  std::copy(context.begin(), context.end(), message.begin());
  std::copy(digest.begin(), digest.end(), message.begin() + context.size());
  return message;
}

Sha512::Sha512() : state_(OpenDigest(GCRY_MD_SHA512)) {}
Sha512::~Sha512() { CloseDigest(state_); }
void Sha512::Update(std::span<const std::uint8_t> bytes) { UpdateDigest(state_, bytes); }
std::optional<Digest> Sha512::Finish() { return FinishDigest<Digest>(state_, GCRY_MD_SHA512); }

Sha256::Sha256() : state_(OpenDigest(GCRY_MD_SHA256)) {}
Sha256::~Sha256() { CloseDigest(state_); }
void Sha256::Update(std::span<const std::uint8_t> bytes) { UpdateDigest(state_, bytes); }
std::optional<BlockDigest> Sha256::Finish() {
  return FinishDigest<BlockDigest>(state_, GCRY_MD_SHA256);
}

BlockDigest Sha256::Of(std::span<const std::uint8_t> bytes) {
  Initialise();
  BlockDigest digest;
  gcry_md_hash_buffer(GCRY_MD_SHA256, digest.data(), bytes.data(), bytes.size());
  return digest;
}

bool IsUsableKey(const Key& key) {
  Initialise();
  if (!IsSoundPoint(key)) return false;
  // A key the library still refuses shows itself on any check: as a broken key instead
  // of a bad signature.
  const gcry_error_t error = CheckSignature(key, Purpose::kPackage, Digest{}, Signature{});
  return error == 0 || gcry_err_code(error) == GPG_ERR_BAD_SIGNATURE;
}

Verdict Verify(const Key& key, Purpose purpose, const Digest& digest, const Signature& signature) {
  if (!IsUsableKey(key)) return Verdict::kBadKey;
  return CheckSignature(key, purpose, digest, signature) == 0 ? Verdict::kValid
                                                              : Verdict::kWrongSignature;
}

std::optional<KeyPair> GenerateKeyPair() {
  Initialise();
  Sexp parameters;
  if (gcry_sexp_build(&parameters.value, nullptr, "(genkey (ecc (curve Ed25519) (flags eddsa)))") !=
      0) {
    return std::nullopt;
  }
  // A fresh key fails IsUsableKey with a chance of about one in 2^30 (a coordinate below
  // 2^224); another one is drawn then.
  for (int attempt = 0; attempt < 8; ++attempt) {
    Sexp pair;
    if (gcry_pk_genkey(&pair.value, parameters.value) != 0) return std::nullopt;
    const std::optional<Key> secret = Token(pair.value, "d");
    const std::optional<Key> publicKey = Token(pair.value, "q");
    if (!secret || !publicKey) return std::nullopt;
    if (IsUsableKey(*publicKey)) return KeyPair{*secret, *publicKey};
  }
  return std::nullopt;
}

std::optional<Signature> Sign(const Key& secret, Purpose purpose, const Digest& digest) {
  Initialise();
  Sexp secretKey, data, signature;
  if (gcry_sexp_build(&secretKey.value, nullptr,
                      "(private-key (ecc (curve Ed25519) (flags eddsa) (d %b)))",
                      static_cast<int>(secret.size()), secret.data()) != 0 ||
      BuildMessage(&data.value, purpose, digest) != 0 ||
      gcry_pk_sign(&signature.value, data.value, secretKey.value) != 0) {
    return std::nullopt;
  }
  const std::optional<Key> r = Token(signature.value, "r");
  const std::optional<Key> s = Token(signature.value, "s");
  if (!r || !s) return std::nullopt;
  Signature bytes;
  std::copy(r->begin(), r->end(), bytes.begin());
  std::copy(s->begin(), s->end(), bytes.begin() + 32);
  return bytes;
}

}  // namespace crypto
