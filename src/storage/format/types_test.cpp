// Type names, encodings and orderings of the built-in types.
#include "types.h"

#include <gtest/gtest.h>

#include "testing/bytes.h"

namespace redb {
namespace {

using testing::from_hex;

const TypeDesc str = TypeDesc::scalar(Scalar::str);
const TypeDesc bytes = TypeDesc::scalar(Scalar::bytes);
const TypeDesc u64 = TypeDesc::scalar(Scalar::u64);
const TypeDesc node_key = TypeDesc::tuple({Scalar::str, Scalar::str});
const TypeDesc edge_key = TypeDesc::tuple({Scalar::str, Scalar::str, Scalar::str, Scalar::u32});
const TypeDesc ledger_key = TypeDesc::tuple({Scalar::str, Scalar::u64});
const TypeDesc raft_log_key = TypeDesc::tuple({Scalar::u64, Scalar::u64});
const TypeDesc raft_meta_key = TypeDesc::tuple({Scalar::u64, Scalar::str});
const TypeDesc legacy_ledger_key = TypeDesc::legacy_tuple({Scalar::str, Scalar::u64});

TEST(TypeDesc, NamesClassificationsAndWidths) {
  struct Case {
    TypeDesc type;
    const char* name;
    uint8_t classification;
    std::optional<uint32_t> width;
  };
  const Case cases[] = {
      {str, "&str", 1, std::nullopt},
      {bytes, "&[u8]", 1, std::nullopt},
      {TypeDesc::scalar(Scalar::u8), "u8", 1, 1},
      {TypeDesc::scalar(Scalar::u16), "u16", 1, 2},
      {TypeDesc::scalar(Scalar::u32), "u32", 1, 4},
      {u64, "u64", 1, 8},
      {node_key, "(&str,&str)", 3, std::nullopt},
      {edge_key, "(&str,&str,&str,u32)", 3, std::nullopt},
      {ledger_key, "(&str,u64)", 3, std::nullopt},
      {raft_meta_key, "(u64,&str)", 3, std::nullopt},
      {raft_log_key, "(u64,u64)", 1, 16},
      {legacy_ledger_key, "(&str,u64)", 1, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.type.name(), c.name);
    EXPECT_EQ(c.type.classification(), c.classification) << c.name;
    EXPECT_EQ(c.type.fixed_width(), c.width) << c.name;
    EXPECT_EQ(c.type.stored_name(), std::string(1, char(c.classification)) + c.name);
    auto parsed = TypeDesc::from_stored_name(c.type.stored_name());
    ASSERT_TRUE(parsed) << c.name;
    EXPECT_EQ(parsed->stored_name(), c.type.stored_name());
  }
  EXPECT_FALSE(TypeDesc::from_stored_name("\x03&str"));
  EXPECT_FALSE(TypeDesc::from_stored_name("\x03(u64,u64)"));
  EXPECT_FALSE(TypeDesc::from_stored_name("\x01String"));
  EXPECT_TRUE(TypeDesc::from_stored_name("\x01(&str,u64)")->is_legacy());
}

TEST(TypeDesc, DecodesElementsOfEveryEncoding) {
  struct Case {
    TypeDesc type;
    std::string encoded;
    std::vector<std::string> elements;
  };
  const Case cases[] = {
      {node_key, from_hex("02616263"), {"ab", "c"}},
      {edge_key, from_hex("0102016162636407000000"), {"a", "bc", "d", from_hex("07000000")}},
      {ledger_key, from_hex("0267310100000000000000"), {"g1", from_hex("0100000000000000")}},
      {raft_meta_key, from_hex("05000000000000007879"), {from_hex("0500000000000000"), "xy"}},
      {raft_log_key, from_hex("01000000000000000200000000000000"), {from_hex("0100000000000000"), from_hex("0200000000000000")}},
      {legacy_ledger_key, from_hex("02000000616203000000 00000000"), {"ab", from_hex("0300000000000000")}},
      {TypeDesc::legacy_tuple({Scalar::u64, Scalar::str}), from_hex("08000000 0500000000000000 7879"),
       {from_hex("0500000000000000"), "xy"}},
      // Varint forms: 253 in one byte, 254 and 65535 behind FE, 65536 behind FF.
      {node_key, "\xfd" + std::string(253, 'a') + "z", {std::string(253, 'a'), "z"}},
      {node_key, from_hex("fefe00") + std::string(254, 'a'), {std::string(254, 'a'), ""}},
      {node_key, from_hex("feffff") + std::string(65535, 'a') + "z", {std::string(65535, 'a'), "z"}},
      {node_key, from_hex("ff00000100") + std::string(65536, 'a'), {std::string(65536, 'a'), ""}},
      {str, "", {""}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(c.type.validate(c.encoded)) << c.type.name() << " " << testing::to_hex(c.encoded.substr(0, 20));
    for (size_t i = 0; i < c.elements.size(); ++i) EXPECT_EQ(c.type.element(c.encoded, i), c.elements[i]);
  }
}

TEST(TypeDesc, RejectsEncodingsThatDoNotDecode) {
  struct Case {
    TypeDesc type;
    std::string encoded;
    const char* error;
  };
  const Case cases[] = {
      {str, "\xc3", "DB corrupted: stored &str is not valid UTF-8"},
      {str, "\xed\xa0\x80", "DB corrupted: stored &str is not valid UTF-8"},  // a surrogate
      {str, "\xc0\xaf", "DB corrupted: stored &str is not valid UTF-8"},      // overlong
      {u64, from_hex("01000000000000"), "DB corrupted: stored u64 has 7 bytes instead of 8"},
      {ledger_key, from_hex("0b67310100000000000000"), "DB corrupted: stored (&str,u64) has a length prefix past its end"},
      {ledger_key, from_hex("0567310100000000000000"), "DB corrupted: stored (&str,u64) has a u64 element of the wrong width"},
      {ledger_key, from_hex("0267310100000000"), "DB corrupted: stored (&str,u64) has a u64 element of the wrong width"},
      {ledger_key, "", "DB corrupted: stored (&str,u64) has a length prefix past its end"},
      {node_key, from_hex("fe01"), "DB corrupted: stored (&str,&str) has a length prefix past its end"},
      {node_key, from_hex("01ff61"), "DB corrupted: stored (&str,&str) has an element that is not valid UTF-8"},
      {raft_meta_key, from_hex("0500000000"), "DB corrupted: stored (u64,&str) has a u64 element of the wrong width"},
      {raft_log_key, from_hex("0100000000000000"), "DB corrupted: stored (u64,u64) has a u64 element of the wrong width"},
      {legacy_ledger_key, from_hex("0200000061620300"), "DB corrupted: stored (&str,u64) has a u64 element of the wrong width"},
      {TypeDesc::legacy_tuple({Scalar::u64, Scalar::str}), from_hex("07000000 05000000000000 7879"),
       "DB corrupted: stored (u64,&str) has a u64 element of the wrong width"},
  };
  for (const Case& c : cases) {
    auto status = c.type.validate(c.encoded);
    ASSERT_FALSE(status) << c.type.name() << " " << testing::to_hex(c.encoded);
    EXPECT_EQ(status.error().text, c.error);
    (void)c.type.compare(c.encoded, c.encoded);  // total on any bytes
    (void)c.type.element(c.encoded, 1);
  }
}

TEST(TypeDesc, OrdersByTypedValueNotByBytes) {
  struct Case {
    TypeDesc type;
    std::string smaller, larger;
  };
  const Case cases[] = {
      {ledger_key, from_hex("0261610000000000000000"), from_hex("016200000000000000 00")},  // ("aa",0) < ("b",0)
      {raft_log_key, from_hex("0100000000000000 0200000000000000"), from_hex("0100000000000000 0001000000000000")},
      {ledger_key, from_hex("0267310200000000000000"), from_hex("03673130 0000000000000000")},  // ("g1",2) < ("g10",0)
      {str, "g1", "g10"},
      {str, "a", "\xc3\xa9"},  // bytes compare unsigned
      {u64, from_hex("ff00000000000000"), from_hex("0001000000000000")},
      {edge_key, from_hex("010101 61 62 63 01000000"), from_hex("010101 61 62 63 00010000")},
      {node_key, from_hex("02616278"), from_hex("016278")},  // ("ab","x") < ("b","x")
  };
  for (const Case& c : cases) {
    EXPECT_LT(c.type.compare(c.smaller, c.larger), 0) << c.type.name();
    EXPECT_GT(c.type.compare(c.larger, c.smaller), 0) << c.type.name();
    EXPECT_EQ(c.type.compare(c.smaller, c.smaller), 0) << c.type.name();
  }
}

}  // namespace
}  // namespace redb
