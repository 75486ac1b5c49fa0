#include "clients/password_store.h"

#include <string_view>

#include "adt/exception.h"
#include "adt/file.h"
#include "adt/log.h"
#include "adt/tagged_reader.h"

namespace clients {
namespace {

constexpr uint8_t kTagName = 1;
constexpr uint8_t kTagSalt = 2;
constexpr uint8_t kTagHash = 3;
// Salt and hash as hex digits: 16 + 32.
constexpr size_t kValueChars = 2 * (sizeof(Salt) + sizeof(Digest));
// The longest line the settings line reader keeps (Windows-1251: one byte per character).
constexpr size_t kMaxLineChars = 5119;

bool isTaggedForm(const adt::Bytes& b) {
  if (b.size() < 2) return false;
  if (b[0] == kTagName) return true;
  return b[0] == 0xFF && b.size() >= 6 && b[1] == kTagName;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;  // not a digit: reads as 0
}

// Two digits per byte.
template <size_t N>
void decodeHex(std::string_view digits, std::array<uint8_t, N>& out) {
  for (size_t i = 0; i < N; ++i) {
    out[i] = static_cast<uint8_t>(hexDigit(digits[2 * i]) << 4 | hexDigit(digits[2 * i + 1]));
  }
}

template <size_t N>
void appendHex(const std::array<uint8_t, N>& bytes, std::string& out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
}

std::string_view trimSpaces(std::string_view s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// The settings line syntax over Windows-1251 bytes: CR/LF runs end a line, "#" starts a
// comment, leading blanks are dropped, empty lines skipped, and a line longer than
// kMaxLineChars characters continues as the next line.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  bool next(std::string& line) {
    while (pos_ < text_.size()) {
      line.clear();
      while (pos_ < text_.size() && isBreak(text_[pos_])) ++pos_;
      bool comment = false;
      while (pos_ < text_.size() && !isBreak(text_[pos_])) {
        const char c = text_[pos_];
        if (c == '#') comment = true;
        if (!comment) {
          if (line.size() == kMaxLineChars) break;
          line.push_back(c);
        }
        ++pos_;
      }
      const size_t first = line.find_first_not_of(' ');
      if (first == std::string::npos) continue;
      line.erase(0, first);
      return true;
    }
    return false;
  }

 private:
  static bool isBreak(char c) { return c == '\r' || c == '\n'; }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

void PasswordStore::load() {
  adt::Bytes content;
  try {
    content = adt::readWholeFile(path_);
  } catch (const adt::IOException&) {
    records_.clear();  // missing or unreadable: no stored passwords
    return;
  }
  parse(content);
}

void PasswordStore::parse(const adt::Bytes& content) {
  records_.clear();
  if (isTaggedForm(content)) {
    parseTagged(content);
  } else {
    parseText(content);
  }
}

void PasswordStore::parseTagged(const adt::Bytes& content) {
  adt::TaggedBufferReader in(content);
  PasswordRecord* current = nullptr;
  Salt salt;
  Digest hash;
  for (uint8_t tag = in.nextTag(); tag != 0; tag = in.nextTag()) {
    switch (tag) {
      case kTagName:
        current = &findOrAdd(in.readString());
        break;
      case kTagSalt:
        in.read(kTagSalt, salt.data(), salt.size());
        if (current) current->salt = salt;
        break;
      case kTagHash:
        in.read(kTagHash, hash.data(), hash.size());
        if (current) current->hash = hash;
        break;
      default:
        break;  // skipped by the next nextTag()
    }
  }
}

void PasswordStore::parseText(const adt::Bytes& content) {
  LineReader reader(
      std::string_view(reinterpret_cast<const char*>(content.data()), content.size()));
  std::string line;
  bool users = true;  // keys before the first header count
  while (reader.next(line)) {
    if (line[0] == '[') {
      const size_t close = line.find(']');
      if (close == std::string::npos) return;  // a broken header ends the file, as in settings
      users =
          adt::equalsIgnoreCase(trimSpaces(std::string_view(line).substr(1, close - 1)), "users");
      continue;
    }
    if (!users) continue;
    const std::string_view whole(line);
    const size_t eq = whole.find('=');
    const std::string_view key = trimSpaces(whole.substr(0, eq));
    const std::string_view value =
        eq == std::string_view::npos ? std::string_view() : trimSpaces(whole.substr(eq + 1));
    PasswordRecord& record = findOrAdd(adt::fromCp1251(key));
    if (value.size() == kValueChars) {
      decodeHex(value.substr(0, 2 * sizeof(Salt)), record.salt);
      decodeHex(value.substr(2 * sizeof(Salt)), record.hash);
    } else {
      record.salt = {};
      record.hash = {};
    }
  }
}

adt::Bytes PasswordStore::serialize() const {
  std::string text;
  for (const PasswordRecord& r : records_) {
    if (!isStorableName(r.name)) {
      adt::LogLine(adt::LOG_WARN) << "password store: a user name that the file cannot hold is "
                                     "left out ("
                                  << r.name.size() << " bytes)";
      continue;
    }
    text += adt::toCp1251(r.name);
    text += '=';
    appendHex(r.salt, text);
    appendHex(r.hash, text);
    text += '\n';
  }
  adt::Bytes bytes(text.begin(), text.end());
  // A first name beginning with byte 0x01 (or 0xFF 0x01) would make the file read back as the
  // tagged form and fail to load: such a file starts with an empty line, which the text form
  // skips.
  if (isTaggedForm(bytes)) bytes.insert(bytes.begin(), '\n');
  return bytes;
}

void PasswordStore::save() const {
  if (path_.empty()) throw adt::IOException("password store: no file");
  adt::writeFileAtomically(path_, serialize(), /*ownerOnly=*/true);
}

adt::String PasswordStore::secretPath() const {
  return path_.empty() ? adt::String() : adt::replaceExtension(path_, "salt");
}

const adt::Bytes& PasswordStore::secret() {
  if (!secret_.empty()) return secret_;
  const adt::String file = secretPath();
  if (!file.empty()) {
    try {
      adt::Bytes stored = adt::readWholeFile(file);
      if (stored.size() >= kSecretSize) {
        secret_ = std::move(stored);
        return secret_;
      }
    } catch (const adt::IOException&) {
      // Missing: made below.
    }
  }
  secret_ = randomBytes(kSecretSize);
  if (file.empty()) return secret_;
  try {
    adt::writeFileAtomically(file, secret_, /*ownerOnly=*/true);
  } catch (const adt::Exception& e) {
    // Salts stay stable for this run; the next run makes another secret.
    adt::log(adt::LOG_WARN, "password store: the salt secret cannot be kept: " + e.text());
  }
  return secret_;
}

Salt PasswordStore::saltFor(const adt::String& name) {
  if (const PasswordRecord* record = find(name)) return record->salt;
  return derivedSalt(secret(), name);
}

PasswordRecord* PasswordStore::find(const adt::String& name) {
  for (PasswordRecord& r : records_) {
    if (r.name == name) return &r;
  }
  return nullptr;
}

const PasswordRecord* PasswordStore::find(const adt::String& name) const {
  return const_cast<PasswordStore*>(this)->find(name);
}

PasswordRecord& PasswordStore::findOrAdd(const adt::String& name) {
  if (PasswordRecord* r = find(name)) return *r;
  records_.push_back(PasswordRecord{name, {}, {}});
  return records_.back();
}

void PasswordStore::update(const adt::String& name, const Salt& salt, const Digest& hash) {
  const size_t before = records_.size();
  PasswordRecord& record = findOrAdd(name);
  const PasswordRecord previous = record;
  record.salt = salt;
  record.hash = hash;
  try {
    save();
  } catch (...) {
    if (records_.size() != before) {
      records_.pop_back();  // the record was added just now
    } else {
      record = previous;
    }
    throw;
  }
}

void PasswordStore::setPassword(const adt::String& name, const adt::String& password) {
  PasswordRecord& r = findOrAdd(name);
  r.salt = makeNonce();
  r.hash = passwordHash(name, r.salt, password);
}

PasswordRecord& PasswordStore::ensureDefaultAdmin() {
  const adt::String empty;
  if (PasswordRecord* r = find(empty)) return *r;
  setPassword(empty, empty);
  return *find(empty);
}

bool PasswordStore::isStorableName(const adt::String& name) {
  if (name.empty()) return true;
  if (name.find_first_of("\r\n=#") != adt::String::npos) return false;
  if (name.front() == '[' || name.front() == ' ' || name.back() == ' ') return false;
  const std::string wire = adt::toCp1251(name);
  if (wire.size() + 1 + kValueChars > kMaxLineChars) return false;
  return adt::fromCp1251(wire) == name;
}

}  // namespace clients
