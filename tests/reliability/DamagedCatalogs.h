#pragma once
// Damaged catalog files, made from a good catalog: truncated at many points, bytes overwritten, pages zeroed,
// empty, files of other types named .mdb, Access files cut short or built to take memory (a long value shared by
// thousands of rows, a table listed under 1,500 names, rows that decode to a hundred times the file), SQLite
// files without the system tables or with odd ones. The library's damaged-file test opens each of them, and vdstress
// runs every read command of vdcatalog on each.

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "support/AccessBuilder.h"
#include "support/CatalogBuilder.h"
#include "support/TestFiles.h"

namespace vdtest {

struct Damaged {
  std::string name;
  std::string bytes;
  bool mustFail;  // a file that can never be a catalog
};

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A good catalog of small pages, so that its families, long texts and index span many of them.
inline std::string GoodCatalog(const TempDir& dir, const std::string& name, CatalogBuilder builder) {
  const std::string path = dir.File(name);
  std::string rows;
  for (int k = 0; k < 120; ++k)
    rows += std::string(k ? ", " : "") + "('HE " + std::to_string(k) + "', " + std::to_string(k * 10) + ", '" +
            std::string(static_cast<std::size_t>(20 + k * 7), static_cast<char>('a' + k % 26)) + "')";
  builder.AddFamily("Beams", "HE", "Height DOUBLE, Note TEXT", rows)
      .AddFamily("Angles", "L", "Side DOUBLE", "('L 50', 50), ('L 60', 60)")
      .SetUnits("Beams", {{"Height", "mm"}})
      .AddSql("CREATE INDEX ix_beams ON Beams (Name);");
  ExecSql(path, "PRAGMA page_size=1024;\n" + builder.Sql());
  return ReadAll(path);
}

inline std::string Repeat(const std::string& unit, std::size_t size) {
  std::string out;
  while (out.size() < size) out += unit;
  out.resize(size);
  return out;
}

inline std::vector<Damaged> MakeCorpus(const TempDir& dir) {
  const std::string good = GoodCatalog(dir, "good.sqlite", CatalogBuilder());
  std::vector<Damaged> corpus;
  auto add = [&corpus](std::string name, std::string bytes, bool mustFail) {
    corpus.push_back({std::move(name), std::move(bytes), mustFail});
  };

  // Cut short: in the signature, in the header, at and around page boundaries, one byte before the end.
  std::vector<std::size_t> cuts = {1, 8, 15, 16, 17, 50, 99, 100, 101, 511, 512, 1023, 1024, 1025, 1500};
  for (std::size_t at = 2048; at < good.size(); at += good.size() / 12) cuts.push_back(at / 1024 * 1024);
  cuts.push_back(good.size() / 2 + 7);
  cuts.push_back(good.size() - 1024);
  cuts.push_back(good.size() - 1);
  for (std::size_t at : cuts) add("truncated at " + std::to_string(at), good.substr(0, at), true);
  add("empty", "", true);

  // Overwritten bytes: a few anywhere, a few in the header, whole pages zeroed.
  std::mt19937 rng(20240607);
  for (int k = 0; k < 30; ++k) {
    std::string bytes = good;
    const int count = 1 + static_cast<int>(rng() % 16);
    const std::size_t span = k % 3 == 0 ? 100 : bytes.size();  // one file in three is hit in its header
    for (int n = 0; n < count; ++n) bytes[rng() % span] = static_cast<char>(rng() & 0xFF);
    add("bytes overwritten, seed " + std::to_string(k), bytes, false);
  }
  for (std::size_t page :
       {std::size_t(0), std::size_t(1), std::size_t(2), good.size() / 1024 / 2, good.size() / 1024 - 1}) {
    std::string bytes = good;
    const std::size_t from = page == 0 ? 100 : page * 1024;  // page 1 keeps its file header
    for (std::size_t i = from; i < (page + 1) * 1024 && i < bytes.size(); ++i) bytes[i] = '\0';
    add("page " + std::to_string(page + 1) + " zeroed", bytes, false);
  }
  {
    std::string bytes = good;
    bytes[16] = '\x03', bytes[17] = '\x00';  // a page size that is no power of two
    add("impossible page size", bytes, true);
    bytes = good;
    bytes[28] = '\x7f';  // a page count far beyond the file's end
    add("page count beyond the end", bytes, true);
    bytes = good;
    bytes[13] = '4';
    add("signature of another version", bytes, true);
  }

  // Files of other types under the catalog's extension.
  const std::string exe = ReadAll("/proc/self/exe").substr(0, 4096);
  add("an executable", exe, true);
  add("a PNG image", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) + Repeat("\x01\x02", 600), true);
  add("a PDF document", "%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n", true);
  add("a ZIP archive", std::string("PK\x03\x04\x14\0\0\0\x08\0", 10) + Repeat("zip", 900), true);
  add("a gzip stream", std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10) + Repeat("\xff\x00", 300), true);
  add("a text", "Name;Height\nHE 100;100\n", true);
  add("a JSON document", R"({"Definition": {"def_name": "VdCatalog"}, "Beams": []})", true);
  add("UTF-16 text", std::string("\xff\xfeS\0Q\0L\0i\0t\0e\0", 14), true);
  add("zeros", std::string(4096, '\0'), true);
  add("0xFF bytes", std::string(4096, '\xff'), true);
  add(
      "random bytes",
      [&rng] {
        std::string bytes(8192, '\0');
        for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
        return bytes;
      }(),
      true);
  add("an SQLite journal", std::string("\xd9\xd5\x05\xf9\x20\xa1\x63\xd7", 8) + std::string(504, '\0'), true);
  add("an SQLite write-ahead log", std::string("\x37\x7f\x06\x82\x00\x2d\xe2\x18", 8) + std::string(24, '\0'), true);
  add("an SQLite signature alone", std::string("SQLite format 3\0", 16), true);
  add("an SQLite header of zeros", std::string("SQLite format 3\0", 16) + std::string(84, '\0'), true);
  add("an SQLite header alone", good.substr(0, 100), true);

  // Access databases cut short: the signature is known, the rest is missing (and the format is not read yet).
  for (const char* engine : {"Standard Jet DB", "Standard ACE DB"}) {
    const std::string access = std::string("\0\x01\0\0", 4) + engine + std::string("\0\x01\0\0\0", 5) +
                               Repeat(std::string("\xb5\x6e\x03\x62\x60\x09\xc2\x55", 8), 2048 - 24);
    for (std::size_t at : {std::size_t(19), std::size_t(20), std::size_t(128), std::size_t(2048)})
      add(std::string(engine) + " cut at " + std::to_string(at), access.substr(0, at), true);
  }

  // Access files built to take memory and time: each is refused as damaged, at once.
  add("Access rows sharing one long value", access::SharedLongValueFile(4080, 60), true);
  add("an Access table listed under 1,500 names", access::ListedFile(1500), true);
  add("Access rows that decode to a hundred times the file", access::DatesFile(true, 16), true);

  // Good SQLite files that lack what a catalog needs.
  add("no Definition table", GoodCatalog(dir, "nodef.sqlite", CatalogBuilder().WithoutDefinitionTable()), true);
  add("no FamilyDescription table",
      GoodCatalog(dir, "nofam.sqlite", CatalogBuilder().AddSql("DROP TABLE FamilyDescription;")), true);
  add("Definition is a view",
      GoodCatalog(dir, "view.sqlite",
                  CatalogBuilder().WithoutDefinitionTable().AddSql(
                      "CREATE VIEW Definition AS SELECT 'VdCatalog' AS def_name, 1/0 AS def_version;")),
      false);
  add("an empty Definition", GoodCatalog(dir, "nodefrow.sqlite", CatalogBuilder().AddSql("DELETE FROM Definition;")),
      false);
  add("Definition with other columns",
      GoodCatalog(
          dir, "defcols.sqlite",
          CatalogBuilder().WithoutDefinitionTable().AddSql(
              "CREATE TABLE Definition (kind BLOB, number TEXT); INSERT INTO Definition VALUES (x'00ff', 'x');")),
      false);
  add("no Units table", GoodCatalog(dir, "nounits.sqlite", CatalogBuilder().WithoutUnitsTable()), false);
  return corpus;
}

}  // namespace vdtest
