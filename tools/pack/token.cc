// Keys that never leave a token (a hardware security module, a smart card, a key
// service): found through an RFC 7512 PKCS#11 URI, reached through p11-kit (the URI, the
// modules, the PKCS#11 header), asked to sign the very message a key file signs, with
// pure Ed25519 (CKM_EDDSA).
#include <dlfcn.h>
#include <p11-kit/p11-kit.h>
#include <p11-kit/uri.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "tools/pack/pack.h"

namespace vxpack {
namespace {

// Where the module must be asked for what a URI names, and what stays loaded meanwhile.
struct Modules {
  ~Modules() {
    if (configured != nullptr) p11_kit_modules_finalize_and_release(configured);
    if (own != nullptr) {
      if (initialised) p11_kit_module_finalize(own);
      p11_kit_module_release(own);
    }
  }
  std::vector<CK_FUNCTION_LIST*> list;
  CK_FUNCTION_LIST** configured = nullptr;  // p11-kit's configured modules
  CK_FUNCTION_LIST* own = nullptr;          // the module-path of the URI
  bool initialised = false;
};

struct UriFree {
  void operator()(P11KitUri* uri) const { p11_kit_uri_free(uri); }
};
using Uri = std::unique_ptr<P11KitUri, UriFree>;

// A PIN, wiped from memory when done with.
struct Pin {
  ~Pin() { explicit_bzero(text.data(), text.size()); }
  std::string text;
  bool read = false;
  bool given = false;  // false: the token asks for it itself (a PIN pad)
};

std::string Why(CK_RV rv) { return p11_kit_strerror(rv); }

// One session on the one token a URI names, with the key objects found in it.
class Token {
 public:
  ~Token() {
    if (open_) module_->C_CloseSession(session_);
  }
  bool Open(const std::string& text, std::string* reason);
  // The one object of `keyClass` that the URI names (its CKA_CLASS aside), with
  // `id` added when not empty; CK_INVALID_HANDLE, with the reason, for none or several.
  CK_OBJECT_HANDLE Find(CK_OBJECT_CLASS keyClass, const std::vector<std::uint8_t>& id,
                        std::string* reason);
  bool LogIn(CK_USER_TYPE user, std::string* reason);
  bool NeedsLogIn() const { return (info_.flags & CKF_LOGIN_REQUIRED) != 0 && !loggedIn_; }
  // The value of one attribute; nothing when the object does not have it.
  std::optional<std::vector<std::uint8_t>> Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
  // Whether `object` is an Ed25519 key: nothing when it does not say its curve.
  std::optional<bool> IsEd25519(CK_OBJECT_HANDLE object);
  std::optional<tools::RawKey> PublicPoint(CK_OBJECT_HANDLE object, std::string* reason);
  std::optional<crypto::Signature> Sign(CK_OBJECT_HANDLE key, const crypto::Message& message,
                                        std::string* reason);

 private:
  bool ReadPin(std::string* reason);
  Modules modules_;
  Uri uri_;
  CK_FUNCTION_LIST* module_ = nullptr;
  CK_SESSION_HANDLE session_ = 0;
  CK_TOKEN_INFO info_{};
  bool open_ = false, loggedIn_ = false;
  Pin pin_;
};

// Why the file at `path` cannot be a module, before p11-kit loads it: a pipe would
// block the loader for good, and a library whose entry gives no function list would
// end the process inside p11-kit.
std::optional<std::string> NoModule(const char* path) {
  struct stat info;
  if (path[0] != '/') return "not an absolute path";
  if (::stat(path, &info) != 0) return std::string(std::strerror(errno));
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  void* library = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return std::string(::dlerror());
  using GetFunctionList = CK_RV (*)(CK_FUNCTION_LIST**);
  const auto get = reinterpret_cast<GetFunctionList>(::dlsym(library, "C_GetFunctionList"));
  CK_FUNCTION_LIST* functions = nullptr;
  const bool usable = get != nullptr && get(&functions) == CKR_OK && functions != nullptr;
  ::dlclose(library);
  if (!usable) return "no PKCS#11 module (C_GetFunctionList gives no functions)";
  return std::nullopt;
}

bool LoadModules(P11KitUri* uri, Modules& modules, std::string* reason) {
  if (const char* path = p11_kit_uri_get_module_path(uri)) {
    if (const auto why = NoModule(path)) {
      *reason = "cannot load module " + std::string(path) + ": " + *why;
      return false;
    }
    modules.own = p11_kit_module_load(path, 0);
    const CK_RV rv = modules.own == nullptr ? CKR_GENERAL_ERROR : p11_kit_module_initialize(modules.own);
    modules.initialised = rv == CKR_OK;
    if (rv != CKR_OK) {
      const char* message = modules.own == nullptr ? p11_kit_message() : nullptr;
      // p11-kit says "couldn't load module: PATH: PATH: why"; the why is what is new.
      std::string_view why = message != nullptr ? message : "";
      for (const std::string_view known : {std::string_view("couldn't load module: "),
                                           std::string_view(path), std::string_view(": "),
                                           std::string_view(path), std::string_view(": ")}) {
        if (why.starts_with(known)) why.remove_prefix(known.size());
      }
      *reason = "cannot load module " + std::string(path) + ": " +
                (message != nullptr ? std::string(why) : Why(rv));
      return false;
    }
    modules.list.push_back(modules.own);
    return true;
  }
  modules.configured = p11_kit_modules_load_and_initialize(0);
  if (modules.configured == nullptr) {
    const char* message = p11_kit_message();
    *reason = "cannot load the configured modules: " + std::string(message != nullptr ? message : "");
    return false;
  }
  const char* name = p11_kit_uri_get_module_name(uri);
  for (CK_FUNCTION_LIST** m = modules.configured; *m != nullptr; ++m) {
    const std::unique_ptr<char, decltype(&std::free)> own(p11_kit_module_get_name(*m), &std::free);
    if (name == nullptr || (own != nullptr && std::string_view(own.get()) == name)) {
      modules.list.push_back(*m);
    }
  }
  return true;
}

// The printable fields of a token's information are padded with blanks.
std::string Field(const unsigned char* bytes, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(bytes), size);
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

// What p11-kit's parser lets through: a name given twice (the last one would win, so a
// URI pasted from two would sign with whichever came last) and query attributes of
// another spelling (which it ignores, so a misspelt module-path would ask other modules).
std::optional<std::string> NamesProblem(std::string_view text) {
  text.remove_prefix(std::min<std::size_t>(text.size(), 7));  // "pkcs11:"
  text = text.substr(0, text.find('#'));
  const std::size_t question = text.find('?');
  const std::string_view query = question == std::string_view::npos ? "" : text.substr(question + 1);
  const std::string_view path = text.substr(0, question);
  std::vector<std::string_view> seen;
  auto check = [&](std::string_view part, char separator, bool inQuery) -> std::optional<std::string> {
    for (std::size_t start = 0; start < part.size();) {
      const std::size_t end = std::min(part.find(separator, start), part.size());
      const std::string_view item = part.substr(start, end - start);
      const std::string_view name = item.substr(0, item.find('='));
      start = end + 1;
      if (name.empty()) continue;
      constexpr std::string_view kQueryNames[] = {"module-path", "module-name", "pin-value", "pin-source"};
      if (inQuery && std::find(std::begin(kQueryNames), std::end(kQueryNames), name) == std::end(kQueryNames)) {
        return "an attribute of the URI that this tool does not know: " + tools::Printable(name);
      }
      if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
        return "the URI gives " + tools::Printable(name) + " twice";
      }
      seen.push_back(name);
    }
    return std::nullopt;
  };
  if (auto problem = check(path, ';', false)) return problem;
  return check(query, '&', true);
}

bool Token::Open(const std::string& text, std::string* reason) {
  P11KitUri* parsed = p11_kit_uri_new();
  uri_.reset(parsed);
  // p11-kit knows the scheme in small letters only.
  const std::string lowered = "pkcs11:" + text.substr(std::min<std::size_t>(text.size(), 7));
  const int status = parsed == nullptr ? P11_KIT_URI_NO_MEMORY
                                       : p11_kit_uri_parse(lowered.c_str(), P11_KIT_URI_FOR_ANY, parsed);
  if (status != P11_KIT_URI_OK) {
    *reason = std::string("not a PKCS#11 URI (") + p11_kit_uri_message(status) + ")";
    return false;
  }
  // A misspelt attribute would otherwise match any key.
  if (p11_kit_uri_any_unrecognized(parsed)) {
    *reason = "an attribute of the URI that this tool does not know";
    return false;
  }
  if (auto problem = NamesProblem(lowered)) {
    *reason = *problem;
    return false;
  }
  // A URI without either would take whatever one key the token holds.
  if (p11_kit_uri_get_attribute(parsed, CKA_LABEL) == nullptr &&
      p11_kit_uri_get_attribute(parsed, CKA_ID) == nullptr) {
    *reason = "the URI names no key: give object= or id=";
    return false;
  }
  if (!LoadModules(parsed, modules_, reason)) return false;
  const CK_SLOT_ID wantedSlot = p11_kit_uri_get_slot_id(parsed);
  std::vector<std::pair<CK_SLOT_ID, CK_FUNCTION_LIST*>> found;
  std::vector<std::string> labels;
  for (CK_FUNCTION_LIST* module : modules_.list) {
    CK_INFO moduleInfo;
    if (module->C_GetInfo(&moduleInfo) != CKR_OK || !p11_kit_uri_match_module_info(parsed, &moduleInfo)) {
      continue;
    }
    CK_ULONG count = 0;
    if (module->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count > 4096) continue;
    std::vector<CK_SLOT_ID> slots(count);
    if (module->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) continue;
    slots.resize(std::min<std::size_t>(count, slots.size()));
    for (const CK_SLOT_ID slot : slots) {
      CK_SLOT_INFO slotInfo;
      CK_TOKEN_INFO tokenInfo;
      if (wantedSlot != static_cast<CK_SLOT_ID>(-1) && slot != wantedSlot) continue;
      if (module->C_GetSlotInfo(slot, &slotInfo) != CKR_OK ||
          !p11_kit_uri_match_slot_info(parsed, &slotInfo) ||
          module->C_GetTokenInfo(slot, &tokenInfo) != CKR_OK ||
          (tokenInfo.flags & CKF_TOKEN_INITIALIZED) == 0 ||  // a free slot, no token yet
          !p11_kit_uri_match_token_info(parsed, &tokenInfo)) {
        continue;
      }
      found.emplace_back(slot, module);
      labels.push_back("token=" + Field(tokenInfo.label, sizeof tokenInfo.label));
      info_ = tokenInfo;
    }
  }
  if (found.empty()) {
    *reason = "no such token";
    return false;
  }
  if (found.size() > 1) {
    std::string list;
    for (const auto& label : labels) list += (list.empty() ? "" : ", ") + label;
    *reason = std::to_string(found.size()) + " tokens match (" + list + "); name one";
    return false;
  }
  module_ = found[0].second;
  const CK_RV rv = module_->C_OpenSession(found[0].first, CKF_SERIAL_SESSION, nullptr, nullptr, &session_);
  open_ = rv == CKR_OK;
  if (!open_) *reason = "cannot open a session on the token: " + Why(rv);
  return open_;
}

CK_OBJECT_HANDLE Token::Find(CK_OBJECT_CLASS keyClass, const std::vector<std::uint8_t>& id,
                             std::string* reason) {
  CK_ULONG count = 0;
  const CK_ATTRIBUTE* named = p11_kit_uri_get_attributes(uri_.get(), &count);
  std::vector<CK_ATTRIBUTE> wanted;
  bool hasId = false;
  for (CK_ULONG i = 0; i < count; ++i) {
    if (named[i].type == CKA_CLASS) continue;  // "type=cert" still names the key pair
    hasId = hasId || named[i].type == CKA_ID;
    wanted.push_back(named[i]);
  }
  wanted.push_back({CKA_CLASS, &keyClass, sizeof keyClass});
  if (!hasId && !id.empty()) {
    wanted.push_back({CKA_ID, const_cast<std::uint8_t*>(id.data()), id.size()});
  }
  std::array<CK_OBJECT_HANDLE, 2> objects{};
  CK_ULONG got = 0;
  CK_RV rv = module_->C_FindObjectsInit(session_, wanted.data(), wanted.size());
  if (rv == CKR_OK) {
    rv = module_->C_FindObjects(session_, objects.data(), objects.size(), &got);
    module_->C_FindObjectsFinal(session_);
  }
  if (rv != CKR_OK) {
    *reason = "cannot look for the key: " + Why(rv);
    return CK_INVALID_HANDLE;
  }
  if (got != 1) {
    *reason = got == 0 ? "no such key" : "several keys match; name one with object= or id=";
    return CK_INVALID_HANDLE;
  }
  return objects[0];
}

// Puts the terminal's echo back when the prompt is left by a signal (Ctrl-C).
termios savedTerminal;
void RestoreTerminal(int signal) {
  tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

// The PIN from one line of the terminal, read without echo.
bool AskPin(const std::string& label, std::string* pin) {
  if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return false;
  std::cerr << "PIN of token " << tools::Printable(label) << ": " << std::flush;
  termios quiet = savedTerminal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  const auto oldInt = signal(SIGINT, RestoreTerminal);
  const auto oldTerm = signal(SIGTERM, RestoreTerminal);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  char c;
  bool ended = false;
  while (read(STDIN_FILENO, &c, 1) == 1) {
    if (c == '\n') {
      ended = true;
      break;
    }
    *pin += c;
  }
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
  signal(SIGINT, oldInt);
  signal(SIGTERM, oldTerm);
  std::cerr << "\n";
  return ended;
}

bool Token::ReadPin(std::string* reason) {
  pin_.read = pin_.given = true;
  if (const char* value = p11_kit_uri_get_pin_value(uri_.get())) {
    pin_.text = value;
    return true;
  }
  if (const char* source = p11_kit_uri_get_pin_source(uri_.get())) {
    std::string_view path(source);
    if (path.starts_with("file:")) path.remove_prefix(5);
    if (path.find(':') != std::string_view::npos && !path.starts_with("/")) {
      *reason = "pin-source " + std::string(source) + ": only a file is supported";
      return false;
    }
    std::string why;
    auto bytes = tools::ReadWholeFile(fs::path(path), 1024, &why);
    if (!bytes) {
      *reason = "pin-source " + std::string(path) + ": " + why;
      return false;
    }
    pin_.text.assign(bytes->begin(), bytes->end());
    explicit_bzero(bytes->data(), bytes->size());
    // The file's one line, as an editor or `echo` leaves it.
    if (pin_.text.ends_with('\n')) pin_.text.pop_back();
    if (pin_.text.ends_with('\r')) pin_.text.pop_back();
    if (pin_.text.find_first_of("\r\n") != std::string::npos) {
      *reason = "pin-source " + std::string(path) + ": more than one line";
      return false;
    }
    return true;
  }
  if (const char* value = std::getenv(kPinVariable); value != nullptr && *value != '\0') {
    pin_.text = value;
    return true;
  }
  if ((info_.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0) {
    pin_.given = false;
    return true;
  }
  if (isatty(STDIN_FILENO) && AskPin(Field(info_.label, sizeof info_.label), &pin_.text)) return true;
  *reason = "the token needs a PIN: give pin-source=FILE in the URI, set " + std::string(kPinVariable) + ", or run "
            "on a terminal to be asked";
  return false;
}

bool Token::LogIn(CK_USER_TYPE user, std::string* reason) {
  if (user == CKU_USER && loggedIn_) return true;
  if (!pin_.read && !ReadPin(reason)) return false;
  // An empty PIN would cost one of the token's few tries for nothing.
  if (pin_.given && pin_.text.empty()) {
    *reason = "an empty PIN, not given to the token";
    return false;
  }
  const CK_RV rv = module_->C_Login(
      session_, user, pin_.given ? reinterpret_cast<CK_UTF8CHAR*>(pin_.text.data()) : nullptr,
      pin_.given ? pin_.text.size() : 0);
  // Never tried a second time: a few wrong PINs lock a token for good.
  switch (rv) {
    case CKR_OK:
    case CKR_USER_ALREADY_LOGGED_IN:
      loggedIn_ = true;
      return true;
    case CKR_PIN_INCORRECT:
    case CKR_PIN_LEN_RANGE:
      *reason = "wrong PIN";
      return false;
    case CKR_PIN_LOCKED:
      *reason = "the PIN is locked";
      return false;
    default:
      *reason = "cannot log in: " + Why(rv);
      return false;
  }
}

std::optional<std::vector<std::uint8_t>> Token::Attribute(CK_OBJECT_HANDLE object,
                                                          CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE attribute{type, nullptr, 0};
  if (module_->C_GetAttributeValue(session_, object, &attribute, 1) != CKR_OK ||
      attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION || attribute.ulValueLen > 4096) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> value(attribute.ulValueLen);
  attribute.pValue = value.data();
  if (module_->C_GetAttributeValue(session_, object, &attribute, 1) != CKR_OK ||
      attribute.ulValueLen > value.size()) {
    return std::nullopt;
  }
  value.resize(attribute.ulValueLen);
  return value;
}

std::optional<bool> Token::IsEd25519(CK_OBJECT_HANDLE object) {
  const auto type = Attribute(object, CKA_KEY_TYPE);
  if (type && type->size() == sizeof(CK_KEY_TYPE)) {
    CK_KEY_TYPE keyType;
    std::memcpy(&keyType, type->data(), sizeof keyType);
    if (keyType != CKK_EC_EDWARDS) return false;
  }
  const auto params = Attribute(object, CKA_EC_PARAMS);
  if (!params) return std::nullopt;
  // The curve by its OID 1.3.101.112, or by the printable name "edwards25519".
  static constexpr std::uint8_t kOid[] = {0x06, 0x03, 0x2B, 0x65, 0x70};
  static constexpr std::string_view kName{"\x13\x0c" "edwards25519"};
  return std::equal(params->begin(), params->end(), std::begin(kOid), std::end(kOid)) ||
         std::string_view(reinterpret_cast<const char*>(params->data()), params->size()) == kName;
}

std::optional<tools::RawKey> Token::PublicPoint(CK_OBJECT_HANDLE object, std::string* reason) {
  const auto point = Attribute(object, CKA_EC_POINT);
  // A DER OCTET STRING of the 32 bytes, or the 32 bytes as some tokens give them.
  const std::size_t skip = point && point->size() == 34 && (*point)[0] == 0x04 && (*point)[1] == 32 ? 2 : 0;
  if (!point || point->size() - skip != crypto::kKeySize) {
    *reason = "the token gives no Ed25519 public key for it";
    return std::nullopt;
  }
  tools::RawKey key;
  std::copy(point->begin() + skip, point->end(), key.begin());
  if (!crypto::IsUsableKey(key)) {
    *reason = "not a usable public key (the token's key is a weak point of the curve)";
    return std::nullopt;
  }
  return key;
}

std::optional<crypto::Signature> Token::Sign(CK_OBJECT_HANDLE key, const crypto::Message& message,
                                             std::string* reason) {
  CK_MECHANISM mechanism{CKM_EDDSA, nullptr, 0};
  CK_RV rv = module_->C_SignInit(session_, &mechanism, key);
  const auto always = Attribute(key, CKA_ALWAYS_AUTHENTICATE);
  // A key that wants its PIN for every signature (as smart cards' signing keys do).
  if (rv == CKR_OK && always && always->size() == 1 && (*always)[0] == CK_TRUE &&
      !LogIn(CKU_CONTEXT_SPECIFIC, reason)) {
    return std::nullopt;
  }
  crypto::Signature signature;
  CK_ULONG size = signature.size();
  if (rv == CKR_OK) {
    rv = module_->C_Sign(session_, const_cast<std::uint8_t*>(message.data()), message.size(),
                         signature.data(), &size);
  }
  if (rv == CKR_MECHANISM_INVALID || rv == CKR_KEY_TYPE_INCONSISTENT || rv == CKR_BUFFER_TOO_SMALL ||
      (rv == CKR_OK && size != signature.size())) {
    *reason = "not an Ed25519 key (the token does not sign with it as Ed25519)";
    return std::nullopt;
  }
  if (rv != CKR_OK) {
    *reason = "the token cannot sign: " + Why(rv);
    return std::nullopt;
  }
  return signature;
}

// The public key object of a key pair: the URI's, with the secret key's CKA_ID.
CK_OBJECT_HANDLE FindPublic(Token& token, const std::vector<std::uint8_t>& id, std::string* reason) {
  CK_OBJECT_HANDLE object = token.Find(CKO_PUBLIC_KEY, id, reason);
  // A token may show its public keys only to whoever logged in.
  if (object == CK_INVALID_HANDLE && *reason == "no such key" && token.NeedsLogIn()) {
    if (!token.LogIn(CKU_USER, reason)) return CK_INVALID_HANDLE;
    object = token.Find(CKO_PUBLIC_KEY, id, reason);
  }
  return object;
}

constexpr std::string_view kNotEd25519 = "not an Ed25519 key";

}  // namespace

// A URI's scheme is the same in any case.
bool IsTokenUri(std::string_view key) {
  constexpr std::string_view kScheme = "pkcs11:";
  return key.size() >= kScheme.size() &&
         std::equal(kScheme.begin(), kScheme.end(), key.begin(),
                    [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b); });
}

std::string Redacted(std::string_view uri) {
  std::string text(uri);
  // Found in any case: a misspelt "PIN-Value" is echoed as an unknown attribute.
  std::string lower = text;
  for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  constexpr std::string_view kPin = "pin-value=";
  for (std::size_t at = lower.find(kPin); at != std::string::npos; at = lower.find(kPin, at + 1)) {
    const std::size_t begin = at + kPin.size();
    const std::size_t end = std::min(lower.find_first_of(";&?#", begin), lower.size());
    text.replace(begin, end - begin, "***");
    lower.replace(begin, end - begin, "***");
  }
  return text;
}

std::optional<tools::RawKey> TokenPublicKey(const std::string& uri, std::string* reason) {
  Token token;
  if (!token.Open(uri, reason)) return std::nullopt;
  const CK_OBJECT_HANDLE object = FindPublic(token, {}, reason);
  if (object == CK_INVALID_HANDLE) return std::nullopt;
  if (token.IsEd25519(object) != true) {
    *reason = kNotEd25519;
    return std::nullopt;
  }
  return token.PublicPoint(object, reason);
}

std::optional<TokenSignature> SignWithToken(const std::string& uri, const crypto::Message& message,
                                            std::string* reason) {
  Token token;
  if (!token.Open(uri, reason)) return std::nullopt;
  if (token.NeedsLogIn() && !token.LogIn(CKU_USER, reason)) return std::nullopt;
  const CK_OBJECT_HANDLE key = token.Find(CKO_PRIVATE_KEY, {}, reason);
  if (key == CK_INVALID_HANDLE) return std::nullopt;
  TokenSignature result;
  const std::optional<bool> secretIs = token.IsEd25519(key);
  const std::vector<std::uint8_t> id = token.Attribute(key, CKA_ID).value_or(std::vector<std::uint8_t>{});
  std::string why;
  const CK_OBJECT_HANDLE pub = FindPublic(token, id, &why);
  const std::optional<bool> publicIs =
      pub == CK_INVALID_HANDLE ? std::nullopt : token.IsEd25519(pub);
  // Either half may name the curve; neither may name another.
  if (secretIs == false || publicIs == false || (!secretIs && !publicIs)) {
    *reason = kNotEd25519;
    return std::nullopt;
  }
  if (pub != CK_INVALID_HANDLE) {
    result.publicKey = token.PublicPoint(pub, reason);
    if (!result.publicKey) return std::nullopt;
  }
  const std::optional<crypto::Signature> signature = token.Sign(key, message, reason);
  if (!signature) return std::nullopt;
  result.signature = *signature;
  return result;
}

}  // namespace vxpack
