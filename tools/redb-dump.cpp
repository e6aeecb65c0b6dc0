// redb-dump FILE: prints every user table of a database file, in the dump format of the
// reference files: one JSON object, tables sorted by name, rows as hex of the stored bytes in
// iteration order, "repaired" telling whether the real library would run its full repair.
// Test-only. On a file it cannot read: the error text on stderr, exit status 1.
#include <cstdio>
#include <string>
#include <string_view>

#include "redb.h"

namespace {

void append_json_text(std::string& out, std::string_view text) {
  static const char digits[] = "0123456789abcdef";
  out += '"';
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += "\\u00";
      out += digits[c >> 4];
      out += digits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

void append_hex(std::string& out, std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
}

redb::Result<std::string> dump(const std::string& path) {
  auto database = redb::Database::open(path);
  if (!database) return std::unexpected(database.error());
  auto transaction = database->begin_read();
  if (!transaction) return std::unexpected(transaction.error());
  auto tables = transaction->list_tables();
  if (!tables) return std::unexpected(tables.error());
  // All scans share one budget, so the dump reads each page once at most and its size stays
  // linear in the file's, however many definitions name the same tree.
  redb::ScanBudget budget = transaction->scan_budget();

  std::string out = database->needs_full_repair() ? "{\"repaired\":true,\"tables\":[" : "{\"repaired\":false,\"tables\":[";
  for (size_t t = 0; t < tables->size(); ++t) {
    const redb::StoredTable& table = (*tables)[t];
    out += t == 0 ? "\n{\"name\":" : ",\n{\"name\":";
    append_json_text(out, table.name);
    out += table.kind == redb::TableKind::multimap ? ",\"kind\":\"multimap\",\"key_type\":" : ",\"kind\":\"normal\",\"key_type\":";
    append_json_text(out, table.key_type);
    out += ",\"value_type\":";
    append_json_text(out, table.value_type);
    out += ",\"rows\":[";
    auto scan = transaction->scan_stored(table.name, &budget);
    if (!scan) return std::unexpected(scan.error());
    bool first = true;
    while (true) {
      auto more = scan->next();
      if (!more) return std::unexpected(more.error());
      if (!*more) break;
      out += first ? "\n[\"" : ",\n[\"";
      append_hex(out, scan->key());
      out += "\",\"";
      append_hex(out, scan->value());
      out += "\"]";
      first = false;
    }
    out += first ? "]}" : "\n]}";
  }
  out += tables->empty() ? "]}\n" : "\n]}\n";
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: redb-dump FILE\n");
    return 2;
  }
  auto text = dump(argv[1]);
  if (!text) {
    std::fprintf(stderr, "%s\n", text.error().text.c_str());
    return 1;
  }
  std::fwrite(text->data(), 1, text->size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
