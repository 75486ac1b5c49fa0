// The password store: its text and tagged file forms, saving, and the default administrator.
#include "clients/password_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "adt/exception.h"
#include "adt/tagged_writer.h"
#include "client_test_support.h"
#include "clients/password_hash.h"

namespace clients::testing {
namespace {

namespace fs = std::filesystem;

class PasswordStoreTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_.file("am.sec");
};

const std::string kSaltHex = "0011223344556677";
const std::string kHashHex = "8899aabbccddeeff0123456789abcdef";

TEST_F(PasswordStoreTest, TextFormValuesOfFortyEightCharactersOnly) {
  put(path_,
      "anna=" + kSaltHex + kHashHex + "\r\n" +                          // 48: decoded
          "short=" + kSaltHex + kHashHex.substr(1) + "\n" +             // 47: zero
          "long=" + kSaltHex + kHashHex + "0\n" +                       // 49: zero
          "UPPER = 0011223344556677 8899AABBCCDDEEFF0123456789ABCDE\n"  // 48 with a blank inside
          "odd=zz11223344556677" +
          kHashHex + "\n");
  PasswordStore store(path_);
  store.load();
  ASSERT_EQ(5u, store.size());
  const PasswordRecord* anna = store.find("anna");
  ASSERT_NE(nullptr, anna);
  EXPECT_EQ(kSaltHex, hex(anna->salt));
  EXPECT_EQ(kHashHex, hex(anna->hash));
  for (const char* name : {"short", "long"}) {
    const PasswordRecord* r = store.find(name);
    ASSERT_NE(nullptr, r) << name;
    EXPECT_EQ(std::string(16, '0'), hex(r->salt)) << name;
    EXPECT_EQ(std::string(32, '0'), hex(r->hash)) << name;
  }
  // Upper-case digits are read; characters that are not digits read as 0.
  const PasswordRecord* upper = store.find("UPPER");
  ASSERT_NE(nullptr, upper);
  EXPECT_EQ(kSaltHex, hex(upper->salt));
  EXPECT_EQ("08899aabbccddeeff0123456789abcde", hex(upper->hash));
  EXPECT_EQ("0011223344556677", hex(store.find("odd")->salt));
  // Names are compared exactly.
  EXPECT_EQ(nullptr, store.find("Anna"));
}

TEST_F(PasswordStoreTest, TextFormSectionsAndComments) {
  put(path_, "first=" + kSaltHex + kHashHex + "\n[other]\nignored=" + kSaltHex + kHashHex +
                 "\n[ Users ]\n  second=" + kSaltHex + kHashHex + " # comment\n# only a comment\n" +
                 "second=\n[broken\nafter=x\n");
  PasswordStore store(path_);
  store.load();
  ASSERT_EQ(2u, store.size());
  EXPECT_EQ("first", store.records()[0].name);
  EXPECT_EQ("second", store.records()[1].name);
  // A later line of the same name updates the same record (here: to zero).
  EXPECT_EQ(std::string(32, '0'), hex(store.find("second")->hash));
  EXPECT_EQ(nullptr, store.find("ignored"));
  EXPECT_EQ(nullptr, store.find("after"));
}

TEST_F(PasswordStoreTest, TaggedFormShortAndLong) {
  adt::MemoryTaggedWriter w;
  w.writeString(1, adt::String("Иван"));
  w.writeTag(2, "ABCDEFGH", 8);
  w.writeTag(3, "0123456789abcdef", 16);
  w.writeInt(7, 42);  // unknown tags are skipped
  w.writeString(1, adt::String("bob"));
  w.writeTag(3, "fedcba9876543210", 16);
  std::string bytes(reinterpret_cast<const char*>(w.data()), w.size());
  put(path_, bytes);
  PasswordStore store(path_);
  store.load();
  ASSERT_EQ(2u, store.size());
  const PasswordRecord* ivan = store.find("Иван");
  ASSERT_NE(nullptr, ivan);
  EXPECT_EQ("ABCDEFGH", std::string(ivan->salt.begin(), ivan->salt.end()));
  EXPECT_EQ("0123456789abcdef", std::string(ivan->hash.begin(), ivan->hash.end()));
  EXPECT_EQ("fedcba9876543210",
            std::string(store.find("bob")->hash.begin(), store.find("bob")->hash.end()));

  // The same with a long-form first element.
  std::string longForm = {'\xFF', '\x01', '\x03', '\0', '\0', '\0', 'a', 'm', 'y'};
  longForm += std::string("\x02\x08", 2) + "SALTSALT";
  put(path_, longForm);
  store.load();
  ASSERT_EQ(1u, store.size());
  EXPECT_EQ("SALTSALT",
            std::string(store.find("amy")->salt.begin(), store.find("amy")->salt.end()));
}

TEST_F(PasswordStoreTest, TaggedFormWithAWrongSizeIsAReaderError) {
  put(path_, std::string("\x01\x01x\x02\x07", 5) + "1234567");
  PasswordStore store(path_);
  try {
    store.load();
    FAIL() << "no error";
  } catch (const adt::TaggedReaderException& e) {
    EXPECT_EQ("Invalid tag size(2) [need:8, but:7]", e.text());
  }
}

TEST_F(PasswordStoreTest, MissingFileIsAnEmptyStore) {
  PasswordStore store(dir_.file("none.sec"));
  store.findOrAdd("x");
  store.load();
  EXPECT_EQ(0u, store.size());
}

TEST_F(PasswordStoreTest, SaveWritesLowercaseTextAndReplacesTheFileWhole) {
  put(path_, "b=" + std::string("0011223344556677") + "8899AABBCCDDEEFF0123456789ABCDEF\n" +
                 "[users]\na=\n");
  PasswordStore store(path_);
  store.load();
  store.setPassword("Пётр", "пароль");
  store.save();
  const PasswordRecord& petr = *store.find("Пётр");
  EXPECT_EQ("b=0011223344556677" + kHashHex + "\n" + "a=" + std::string(48, '0') + "\n" +
                adt::toCp1251("Пётр") + "=" + hex(petr.salt) + hex(petr.hash) + "\n",
            get(path_));
  // Only the store file is left beside it: the temporary file was renamed over it.
  EXPECT_EQ(std::vector<std::string>{"am.sec"}, dir_.entries());
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
            fs::status(path_).permissions() & fs::perms::all);

  PasswordStore again(path_);
  again.load();
  ASSERT_EQ(3u, again.size());
  EXPECT_EQ(hex(petr.hash), hex(again.find("Пётр")->hash));
  EXPECT_EQ(hex(passwordHash("Пётр", petr.salt, "пароль")), hex(petr.hash));
}

TEST_F(PasswordStoreTest, NamesTheTextFormCannotHoldAreNotWritten) {
  for (const char* bad : {"a=b", "x#y", "line\nbreak", "[section", " lead", "trail ", "日本"}) {
    EXPECT_FALSE(PasswordStore::isStorableName(bad)) << bad;
  }
  for (const char* good : {"", "admin", "Пётр Иванов", "a.b-c"}) {
    EXPECT_TRUE(PasswordStore::isStorableName(good)) << good;
  }
  // Such a name from a tagged file is left out on save rather than corrupting the file.
  PasswordStore store(path_);
  store.findOrAdd("evil\nroot");
  store.findOrAdd("fine");
  store.save();
  EXPECT_EQ("fine=" + std::string(48, '0') + "\n", get(path_));
}

TEST_F(PasswordStoreTest, NamesThatLookLikeTheTaggedFormStillReadBack) {
  // Found by fuzzing: a text file whose first name starts with 0xFF 0x01 ("я" and a control
  // byte) was saved as is, and the saved file then read as a broken tagged file.
  const std::string first = "\xFF\x01\xAE" "ers]sers]";
  put(path_, "# comment\n" + first + "\n\x01second=" + kSaltHex + kHashHex + "\n");
  PasswordStore store(path_);
  store.load();
  ASSERT_EQ(2u, store.size());
  for (const std::vector<size_t>& order : {std::vector<size_t>{0, 1}, std::vector<size_t>{1, 0}}) {
    PasswordStore saved(dir_.file("order.sec"));
    for (size_t i : order) {
      const PasswordRecord& r = store.records()[i];
      saved.findOrAdd(r.name) = r;
    }
    saved.save();
    PasswordStore again(saved.path());
    ASSERT_NO_THROW(again.load());
    ASSERT_EQ(2u, again.size());
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(store.records()[order[i]].name, again.records()[i].name);
      EXPECT_EQ(hex(store.records()[order[i]].hash), hex(again.records()[i].hash));
    }
  }
}

TEST_F(PasswordStoreTest, AFailedUpdateLeavesTheStoreAsItWas) {
  PasswordStore store(dir_.file("missing-dir/am.sec"));
  store.setPassword("kept", "old");
  const PasswordRecord before = *store.find("kept");
  EXPECT_THROW(store.update("kept", salt("NEWSALT1"), Digest{}), adt::IOException);
  EXPECT_EQ(hex(before.hash), hex(store.find("kept")->hash));
  EXPECT_EQ(hex(before.salt), hex(store.find("kept")->salt));
  EXPECT_THROW(store.update("added", salt("NEWSALT1"), Digest{}), adt::IOException);
  EXPECT_EQ(nullptr, store.find("added"));
}

TEST_F(PasswordStoreTest, DefaultAdministratorHasTheEmptyPasswordUnlessOneWasSet) {
  PasswordStore store(path_);
  PasswordRecord& admin = store.ensureDefaultAdmin();
  EXPECT_EQ("", admin.name);
  EXPECT_TRUE(isNonce(admin.salt));
  EXPECT_EQ(hex(passwordHash("", admin.salt, "")), hex(admin.hash));
  store.setPassword("", "chosen");
  const Digest chosen = store.find("")->hash;
  store.ensureDefaultAdmin();
  EXPECT_EQ(1u, store.size());
  EXPECT_EQ(hex(chosen), hex(store.find("")->hash));
}

}  // namespace
}  // namespace clients::testing
