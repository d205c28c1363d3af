// The hive text: a golden file for the documented format, every byte through names and values,
// and the malformed texts that must be refused rather than half read.
#include <gtest/gtest.h>

#include "registry/RegistryFixture.h"

using namespace regtest;

namespace {

TEST(HiveText, FormatsTheDocumentedText) {
  Hive hive;
  HiveKey* synth = hive.findOrCreate(HiveRoot::CurrentUser, {"Software", "Vellumar", "My Synth"});
  synth->setValue("contentpath", REG_SZ, textValue("C:\\Synth \"Data\""));
  synth->setValue("playerPositionX", REG_DWORD, dwordValue(300));
  HiveKey* host = synth->childOrAdd("Host");
  host->setValue("", REG_SZ, textValue("caf\xe9\n"));
  host->setValue("blob", REG_BINARY, std::string("\x00\xff", 2));
  host->setValue("odd", 7, "ab");
  hive.findOrCreate(HiveRoot::CurrentUser, {"Software", "100%", "Empty]"});
  EXPECT_EQ(formatHive(hive, kUserRoots),
            "Vellumar hive 1\n"
            "[HKEY_CURRENT_USER\\Software]\n"
            "[HKEY_CURRENT_USER\\Software\\Vellumar]\n"
            "[HKEY_CURRENT_USER\\Software\\Vellumar\\My Synth]\n"
            "\"contentpath\"=sz:\"C:\\\\Synth \\\"Data\\\"\"\n"
            "\"playerPositionX\"=dword:0000012c\n"
            "[HKEY_CURRENT_USER\\Software\\Vellumar\\My Synth\\Host]\n"
            "@=sz:\"caf\\xe9\\n\"\n"
            "\"blob\"=hex:00,ff\n"
            "\"odd\"=hex(7):61,62\n"
            "[HKEY_CURRENT_USER\\Software\\100%25]\n"
            "[HKEY_CURRENT_USER\\Software\\100%25\\Empty]]\n"
            "END\n");
}

TEST(HiveText, EveryByteAndTypeRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  std::string keyBytes;
  for (int b = 1; b < 256; ++b) {
    if (b != '\\') keyBytes.push_back(static_cast<char>(b));
  }
  Hive hive;
  HiveKey* k = hive.findOrCreate(HiveRoot::CurrentUser, {keyBytes, " spaced "});
  k->setValue(all, REG_BINARY, all);
  k->setValue("sz with zeros", REG_SZ, std::string("a\0b\0", 4));
  k->setValue("sz without zero", REG_SZ, "abc");
  k->setValue("empty sz", REG_SZ, std::string());
  k->setValue("short dword", REG_DWORD, "\x01\x02");
  k->setValue("long dword", REG_DWORD, std::string(8, '\x7f'));
  k->setValue("none", REG_NONE, "");
  k->setValue("max type", 0xffffffffu, all);
  k->setValue("text", REG_SZ, textValue(all.substr(1)));
  hive.root(HiveRoot::CurrentUser).setValue("at root", REG_DWORD, dwordValue(0xffffffffu));
  std::string text = formatHive(hive, kUserRoots);
  for (char c : text) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << int(c);
  Hive back;
  std::string error;
  ASSERT_TRUE(parseHive(text, kUserRoots, &back, &error)) << error;
  EXPECT_TRUE(back.equals(hive));
  EXPECT_EQ(formatHive(back, kUserRoots), text);
}

TEST(HiveText, AcceptsHandEditedForms) {
  const char* text =
      "Vellumar hive 1\r\n"
      "; a comment\r\n"
      "\r\n"
      "[hkey_current_user\\A]\r\n"
      "\"X\"=dword:0000000A\r\n"
      "[HKEY_CURRENT_USER\\B]\n"
      "[HKEY_CURRENT_USER\\a]\n"  // the same key again: merged, later values win
      "\"x\"=dword:0000000b\n"
      "\"y\"=hex:\n"
      "END\n"
      "\n";
  Hive hive;
  std::string error;
  ASSERT_TRUE(parseHive(text, kUserRoots, &hive, &error)) << error;
  const HiveKey& user = hive.root(HiveRoot::CurrentUser);
  ASSERT_EQ(user.children.size(), 2u);
  const HiveKey& a = *user.children[0];
  EXPECT_EQ(a.name, "A");
  ASSERT_EQ(a.values.size(), 2u);
  EXPECT_EQ(a.values[0].name, "X");
  EXPECT_EQ(a.values[0].bytes, dwordValue(11));
}

TEST(HiveText, RefusesMalformedTexts) {
  const std::string head = "Vellumar hive 1\n[HKEY_CURRENT_USER\\K]\n";
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"no header", "[HKEY_CURRENT_USER\\K]\nEND\n"},
      {"other version", "Vellumar hive 2\nEND\n"},
      {"truncated before END", head + "\"a\"=dword:00000001\n"},
      {"truncated inside a line", head + "\"a\"=dword:000000"},
      {"text after END", head + "END\n\"a\"=hex:\n"},
      {"value outside a key", "Vellumar hive 1\n\"a\"=hex:\nEND\n"},
      {"root of the other hive", "Vellumar hive 1\n[HKEY_LOCAL_MACHINE\\software]\nEND\n"},
      {"unknown root", "Vellumar hive 1\n[HKEY_USERS\\x]\nEND\n"},
      {"empty key name", "Vellumar hive 1\n[HKEY_CURRENT_USER\\a\\\\b]\nEND\n"},
      {"bad key escape", "Vellumar hive 1\n[HKEY_CURRENT_USER\\a%4]\nEND\n"},
      {"escaped separator in a key name", "Vellumar hive 1\n[HKEY_CURRENT_USER\\a%5cb]\nEND\n"},
      {"unclosed key line", "Vellumar hive 1\n[HKEY_CURRENT_USER\\a\nEND\n"},
      {"unclosed quote", head + "\"a=sz:\"x\"\nEND\n"},
      {"bad escape", head + "\"a\"=sz:\"\\q\"\nEND\n"},
      {"short hex escape", head + "\"a\"=sz:\"\\x4\"\nEND\n"},
      {"text after sz", head + "\"a\"=sz:\"x\" \nEND\n"},
      {"short dword", head + "\"a\"=dword:1\nEND\n"},
      {"bad dword digit", head + "\"a\"=dword:0000000g\nEND\n"},
      {"odd hex", head + "\"a\"=hex:0\nEND\n"},
      {"trailing comma", head + "\"a\"=hex:00,\nEND\n"},
      {"bad type", head + "\"a\"=hex(zz):00\nEND\n"},
      {"type too wide", head + "\"a\"=hex(100000000):00\nEND\n"},
      {"unknown kind", head + "\"a\"=float:1\nEND\n"},
      {"no equals sign", head + "\"a\"\nEND\n"},
      {"garbage line", head + "garbage\nEND\n"},
  };
  for (const auto& c : cases) {
    Hive hive;
    std::string error;
    EXPECT_FALSE(parseHive(c.text, kUserRoots, &hive, &error)) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
  }
}

}  // namespace
