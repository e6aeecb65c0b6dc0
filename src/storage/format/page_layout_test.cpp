// Leaf and branch pages and table definitions, against bytes the real library wrote.
#include "format/page_layout.h"

#include <gtest/gtest.h>

#include "format/table_definition.h"
#include "testing/bytes.h"

namespace redb {
namespace {

using testing::from_hex;
using testing::to_hex;

std::span<const uint8_t> span_of(const std::string& bytes) {
  return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}

// The audit_chain leaf: ("g1",1)->"a", ("g1",2)->"bb", ("g10",0)->"" in (&str,u64) -> &[u8].
const std::string audit_leaf = from_hex(
    "01 00 03 00  27 00 00 00  32 00 00 00  3e 00 00 00"
    "3f 00 00 00  41 00 00 00  41 00 00 00  02 67 31 01"
    "00 00 00 00  00 00 00 02  67 31 02 00  00 00 00 00"
    "00 00 03 67  31 30 00 00  00 00 00 00  00 00 61 62"
    "62");
const std::string audit_leaf_checksum = "6dc53536875187 1d18845c044da57ae5";

TEST(LeafPage, BuildsTheReferenceLeafAndReadsItBack) {
  const std::string keys[] = {from_hex("0267310100000000000000"), from_hex("0267310200000000000000"),
                              from_hex("036731300000000000000000")};
  const LeafEntry entries[] = {{keys[0], "a"}, {keys[1], "bb"}, {keys[2], ""}};
  EntryWidths widths{std::nullopt, std::nullopt};
  ASSERT_EQ(leaf_size(entries, widths), 65u);
  std::vector<uint8_t> page(4096, 0xEE);
  ASSERT_EQ(write_leaf(page, entries, widths), 65u);
  EXPECT_EQ(std::string(page.begin(), page.begin() + 65), audit_leaf);
  EXPECT_TRUE(std::all_of(page.begin() + 65, page.end(), [](uint8_t b) { return b == 0; }));
  Checksum checksum = page_checksum(page, 65);
  EXPECT_EQ(to_hex(std::string_view(reinterpret_cast<const char*>(checksum.bytes.data()), 16)),
            to_hex(from_hex(audit_leaf_checksum)));

  auto leaf = LeafView::open(page, widths);
  ASSERT_TRUE(leaf);
  ASSERT_EQ(leaf->count(), 3u);
  EXPECT_EQ(leaf->used_length(), 65u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(leaf->key(i), keys[i]);
    EXPECT_EQ(leaf->value(i), entries[i].value);
  }
}

TEST(LeafPage, LaysOutFixedWidthSidesWithoutEndArrays) {
  // (u64,u64) -> &[u8]: only value ends.
  const std::string a = from_hex("01000000000000000200000000000000"), b = from_hex("01000000000000000001000000000000");
  const LeafEntry fixed_keys[] = {{a, "yz"}, {b, "x"}};
  std::vector<uint8_t> page(4096);
  ASSERT_EQ(write_leaf(page, fixed_keys, {16, std::nullopt}), 47u);
  EXPECT_EQ(to_hex(std::string(page.begin(), page.begin() + 47)),
            "010002002e0000002f000000" + to_hex(a) + to_hex(b) + "797a78");
  // &str -> u8: only key ends.
  const LeafEntry fixed_values[] = {{"tx1", std::string_view("\0", 1)}, {"tx2", "\x01"}};
  ASSERT_EQ(write_leaf(page, fixed_values, {std::nullopt, 1}), 20u);
  EXPECT_EQ(to_hex(std::string(page.begin(), page.begin() + 20)), "010002000f00000012000000747831747832" "0001");
  auto leaf = LeafView::open(page, {std::nullopt, 1});
  ASSERT_TRUE(leaf);
  EXPECT_EQ(leaf->key(1), "tx2");
  EXPECT_EQ(leaf->value(1), "\x01");
  // A multimap value leaf: V -> () with fixed value width 0.
  const LeafEntry values[] = {{"only", ""}};
  ASSERT_EQ(write_leaf(page, values, {std::nullopt, 0}), 12u);
  EXPECT_EQ(to_hex(std::string(page.begin(), page.begin() + 12)), "010001000c0000006f6e6c79");
}

TEST(BranchPage, BuildsAndReadsABranch) {
  const BranchChild children[] = {{PageNumber{0, 3, 0}, checksum_of({})}, {PageNumber{1, 2, 1}, Checksum{}}};
  const std::string_view separators[] = {"m"};
  std::vector<uint8_t> page(4096);
  size_t used = write_branch(page, children, separators, std::nullopt);
  ASSERT_EQ(used, branch_size(1, 1, std::nullopt));
  ASSERT_EQ(used, 8u + 48 + 4 + 1);
  auto branch = BranchView::open(page, std::nullopt);
  ASSERT_TRUE(branch);
  EXPECT_EQ(branch->key_count(), 1u);
  EXPECT_EQ(branch->key(0), "m");
  EXPECT_EQ(branch->child_page(1), (PageNumber{1, 2, 1}));
  EXPECT_EQ(branch->child_checksum(0), checksum_of({}));
  EXPECT_EQ(branch->used_length(), used);
  // u64 keys: no key-end array (m = 2 uses 8 + 72 + 16 bytes).
  const BranchChild three[] = {children[0], children[1], children[0]};
  const std::string k1(8, '\1'), k2(8, '\2');
  const std::string_view fixed[] = {k1, k2};
  EXPECT_EQ(write_branch(page, three, fixed, 8), 96u);
  EXPECT_EQ(BranchView::open(page, 8)->key(1), k2);
}

TEST(PageViews, RejectDamagedPagesWithoutReadingOutOfBounds) {
  struct Case {
    const char* name;
    std::string page;
    const char* error;
  };
  std::string truncated = audit_leaf.substr(0, 64);
  std::string zero_count = audit_leaf;
  zero_count[2] = 0;
  std::string backwards = audit_leaf;
  backwards[8] = 0x20;  // key_end[1] before key_end[0]
  std::string past_end = audit_leaf;
  past_end[0x18] = 0x50;
  std::string huge_count = audit_leaf;
  huge_count[3] = 0x7f;
  std::string unknown_type = audit_leaf;
  unknown_type[0] = 7;
  const Case cases[] = {
      {"truncated", truncated, "DB corrupted: leaf page value offsets are out of order or past its end"},
      {"zero count", zero_count, "DB corrupted: leaf page has no entries"},
      {"key ends backwards", backwards, "DB corrupted: leaf page key offsets are out of order or past its end"},
      {"value end past page", past_end, "DB corrupted: leaf page value offsets are out of order or past its end"},
      {"count past the page", huge_count, "DB corrupted: leaf page offset arrays run past its end"},
      {"unknown type", unknown_type, "DB corrupted: unknown page type 7"},
      {"empty", "", "DB corrupted: leaf page is too short"},
  };
  for (const Case& c : cases) {
    auto leaf = LeafView::open(span_of(c.page), {});
    ASSERT_FALSE(leaf) << c.name;
    EXPECT_EQ(leaf.error().text, c.error) << c.name;
  }
  std::string branch(40, '\0');
  branch[0] = 2;
  branch[2] = 1;
  EXPECT_EQ(BranchView::open(span_of(branch), std::nullopt).error().text,
            "DB corrupted: branch page arrays run past its end");
  branch[2] = 0;
  EXPECT_EQ(BranchView::open(span_of(branch), std::nullopt).error().text, "DB corrupted: branch page has no keys");
  // Fixed widths that overflow the page are refused too.
  EXPECT_FALSE(LeafView::open(span_of(audit_leaf), {0xFFFFFFFFu, std::nullopt}));
}

TEST(PageOrder, IsTheSmallestPowerOfTwoPageCount) {
  EXPECT_EQ(page_order_for(1), 0);
  EXPECT_EQ(page_order_for(4096), 0);
  EXPECT_EQ(page_order_for(4097), 1);
  EXPECT_EQ(page_order_for(10016), 2);
  EXPECT_EQ(page_order_for(1500100), 9);
}

// ---- Table definitions ----

const std::string audit_definition = from_hex(
    "03 03 00 00 00 00 00 00  00 01 00 00 00 00 00 00"
    "00 00 6d c5 35 36 87 51  87 1d 18 84 5c 04 4d a5"
    "7a e5 03 00 00 00 00 00  00 00 00 00 00 00 00 00"
    "00 00 00 00 01 00 00 00  01 00 00 00 0b 00 00 00"
    "03 28 26 73 74 72 2c 75  36 34 29 01 26 5b 75 38"
    "5d");

TEST(TableDefinition, ParsesAndSerializesTheReferenceRecord) {
  auto definition = parse_table_definition(audit_definition, "audit_chain");
  ASSERT_TRUE(definition) << definition.error().text;
  EXPECT_EQ(definition->kind, TableKind::normal);
  EXPECT_EQ(definition->table_length, 3u);
  ASSERT_TRUE(definition->root);
  EXPECT_EQ(definition->root->root, (PageNumber{0, 0, 0}));
  EXPECT_EQ(definition->root->length, 3u);
  EXPECT_EQ(definition->root->checksum, checksum_of(span_of(audit_leaf)));
  EXPECT_FALSE(definition->fixed_key_width);
  EXPECT_EQ(definition->key_type_name(), "(&str,u64)");
  EXPECT_EQ(definition->value_type_name(), "&[u8]");
  EXPECT_EQ(serialize_table_definition(*definition), audit_definition);

  StoredDefinition fresh = StoredDefinition::for_new_table(TypeDesc::tuple({Scalar::str, Scalar::str, Scalar::str, Scalar::u32}),
                                                          TypeDesc::scalar(Scalar::bytes));
  EXPECT_EQ(to_hex(serialize_table_definition(fresh)),
            "03" + std::string(16, '0') + "00" + std::string(64, '0') + "0000000000" "0000000000" "01000000" "01000000"
            "15000000" + to_hex("\x03(&str,&str,&str,u32)") + to_hex("\x01&[u8]"));
}

TEST(TableDefinition, RejectsDamagedRecords) {
  struct Case {
    const char* name;
    std::string record;
    const char* error;
  };
  auto with = [](size_t offset, std::string bytes) {
    std::string record = audit_definition;
    record.replace(offset, bytes.size(), bytes);
    return record;
  };
  const Case cases[] = {
      {"short", audit_definition.substr(0, 63), "DB corrupted: definition of table 't': record is too short"},
      {"table type", with(0, "\x01"), "DB corrupted: definition of table 't': unknown table type 1"},
      {"name length", with(60, from_hex("ff000000")), "DB corrupted: definition of table 't': key type name runs past the end"},
      {"classification", with(64, "\x05"),
       "DB corrupted: definition of table 't': type name with unknown classification byte 5"},
      {"no value name", audit_definition.substr(0, 75), "DB corrupted: definition of table 't': empty type name"},
      {"not utf-8", with(66, "\xff"), "DB corrupted: definition of table 't': type name is not valid UTF-8"},
  };
  for (const Case& c : cases) {
    auto definition = parse_table_definition(c.record, "t");
    ASSERT_FALSE(definition) << c.name;
    EXPECT_EQ(definition.error().text, c.error) << c.name;
  }
}

TEST(TableDefinition, OpenChecksRunInTheLibrarysOrder) {
  const TableDefinition ledger{"ledger", TypeDesc::tuple({Scalar::str, Scalar::u64}), TypeDesc::scalar(Scalar::str)};
  StoredDefinition stored = StoredDefinition::for_new_table(ledger.key, ledger.value);
  struct Case {
    const char* name;
    void (*change)(StoredDefinition&);
    const char* error;
  };
  const Case cases[] = {
      {"match", [](StoredDefinition&) {}, nullptr},
      {"legacy tuple", [](StoredDefinition& d) { d.key_type[0] = 1; }, "ledger is of type Table<(&str,u64), &str>"},
      {"multimap", [](StoredDefinition& d) { d.kind = TableKind::multimap; d.key_alignment = 2; },
       "ledger is a multimap table"},
      {"key alignment before names", [](StoredDefinition& d) { d.key_alignment = 2; d.value_type = "\x01u8"; },
       "Current definition of (&str,u64) does not match stored definition (width=None, alignment=2)"},
      {"value alignment", [](StoredDefinition& d) { d.value_alignment = 4; },
       "Current definition of &str does not match stored definition (width=None, alignment=4)"},
      {"value type", [](StoredDefinition& d) { d.value_type = "\x01u16"; d.fixed_value_width = 2; },
       "ledger is of type Table<(&str,u64), u16>"},
      {"key width", [](StoredDefinition& d) { d.fixed_key_width = 4; },
       "Current definition of (&str,u64) does not match stored definition (width=Some(4), alignment=1)"},
      {"value width", [](StoredDefinition& d) { d.fixed_value_width = 8; },
       "Current definition of &str does not match stored definition (width=Some(8), alignment=1)"},
  };
  for (const Case& c : cases) {
    StoredDefinition changed = stored;
    c.change(changed);
    auto status = check_table_match(changed, "ledger", requested_types(ledger));
    if (c.error == nullptr) EXPECT_TRUE(status) << c.name;
    else EXPECT_EQ(status.error().text, c.error) << c.name;
  }
  StoredDefinition normal = stored;
  EXPECT_EQ(check_table_match(normal, "ledger", requested_types(ledger, TableKind::multimap)).error().text,
            "ledger is not a multimap table");
}

}  // namespace
}  // namespace redb
