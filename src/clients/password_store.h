// The users' password store: one salted hash per user name, kept in a file beside the
// settings file (the settings path with the extension "sec"). Passwords themselves are never
// stored, logged or sent; only the hash MD5(name ":" salt ":" password) and its salt are.
//
// Owned by the server, created at its construction; main thread only.
#pragma once
#include <cstddef>
#include <deque>
#include <utility>

#include "adt/text.h"
#include "clients/password_hash.h"

namespace clients {

struct PasswordRecord {
  adt::String name;  // UTF-8; compared exactly, case-sensitively
  Salt salt{};
  Digest hash{};
};

class PasswordStore {
 public:
  // An empty store without a file (save() then fails).
  PasswordStore() = default;
  // An empty store saved to `path`; call load() to read it.
  explicit PasswordStore(adt::String path) : path_(std::move(path)) {}
  PasswordStore(const PasswordStore&) = delete;
  PasswordStore& operator=(const PasswordStore&) = delete;

  const adt::String& path() const { return path_; }

  // Replaces the records by the content of the file. A missing or unreadable file leaves the
  // store empty. A file in the tagged form with a malformed element throws
  // adt::TaggedReaderException (the records read before it stay).
  void load();

  // Replaces the records by `content`, the whole file. Its form is chosen by its first bytes:
  //  - tagged: at least 2 bytes and the first byte 0x01, or the first byte 0xFF, at least 6
  //    bytes and the second byte 0x01 (an element with tag 1 in short or long form). Element
  //    1 (text) names a record (found or created), 2 its salt (exactly 8 bytes), 3 its hash
  //    (exactly 16 bytes); other tags are skipped;
  //  - text: the settings line syntax. Keys count as user names before the first section
  //    header and in the section "users"; a value of exactly 48 characters holds the salt (16
  //    hex digits) and the hash (32 hex digits), any other value leaves both zero. Digits of
  //    either case are accepted; any other character reads as 0.
  void parse(const adt::Bytes& content);

  // The text form: one line "<name>=<salt, 16 lowercase hex digits><hash, 32 digits>" ended by
  // LF per record, in store order, Windows-1251. Records whose name the text form cannot carry
  // (see isStorableName) are left out with a warning in the log.
  adt::Bytes serialize() const;

  // Writes serialize() over the file so that a reader sees either the old or the new content:
  // a temporary file beside it, forced to the disk, then renamed over it; readable by the
  // owner only. Throws adt::IOException; the file is then left as it was.
  void save() const;

  // The salt a login sends for `name`: its record's, or, for a name without one, a salt
  // derived from the name and the store's secret (derivedSalt), so that the salts do not tell
  // which names have a record. The secret is made once and kept beside the store, readable by
  // the owner only (secretPath()); a store without a file, or one whose secret cannot be
  // written, keeps a secret in memory for its lifetime (and logs why).
  Salt saltFor(const adt::String& name);
  // "<store path with the extension salt>"; empty for a store without a file.
  adt::String secretPath() const;
  static constexpr size_t kSecretSize = 32;

  // The first record of exactly this name, or null.
  PasswordRecord* find(const adt::String& name);
  const PasswordRecord* find(const adt::String& name) const;
  // The record of this name, appended with a zero salt and hash when missing. The reference
  // stays valid while the store lives.
  PasswordRecord& findOrAdd(const adt::String& name);

  // Sets the salt and hash of `name` (adding its record when missing) and saves. When the save
  // fails the store is put back as it was, so memory and file keep agreeing, and the
  // exception propagates.
  void update(const adt::String& name, const Salt& salt, const Digest& hash);

  // Gives `name` the password: a fresh nonce as the salt and the hash of the password.
  void setPassword(const adt::String& name, const adt::String& password);

  // The default administrator that start-up installs when no configured user may administer:
  // makes sure a record with the empty name exists; a new record gets the empty password. An
  // existing one keeps its password, so a password given to the default administrator later
  // survives restarts. Does not save.
  PasswordRecord& ensureDefaultAdmin();

  size_t size() const { return records_.size(); }
  const std::deque<PasswordRecord>& records() const { return records_; }

  // Whether the text form can carry the name and read it back unchanged: no line breaks, no
  // "=" or "#", no leading "[" and no leading or trailing blank, every character present in
  // Windows-1251, and a line of at most 5119 characters.
  static bool isStorableName(const adt::String& name);

 private:
  void parseTagged(const adt::Bytes& content);
  void parseText(const adt::Bytes& content);

  const adt::Bytes& secret();

  adt::String path_;
  adt::Bytes secret_;  // empty until first needed
  // Deque: references handed out by findOrAdd stay valid when records are appended.
  std::deque<PasswordRecord> records_;
};

}  // namespace clients
