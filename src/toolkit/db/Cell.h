#pragma once
// One stored value of a result row, as the engine gave it: its storage class and either a number or the
// position of its bytes (UTF-8 text or a byte block) in the row storage's byte arena. Kept to 16 bytes so that
// a result is two flat buffers, whatever its number of rows.

#include <cstdint>
#include <string>

namespace vdpattern::db {

enum class CellKind : std::uint8_t { kNull, kInteger, kReal, kText, kBlob };

struct Cell {
  union {
    std::int64_t i;
    double d;
    struct {
      std::uint32_t offset;
      std::uint32_t length;
    } bytes;
  };
  CellKind kind = CellKind::kNull;

  Cell() : i(0) {}
};

// A value waiting to be written (Edit / AddNew): the same storage classes, bytes held by value.
struct PendingValue {
  CellKind kind = CellKind::kNull;
  std::int64_t i = 0;
  double d = 0;
  std::string bytes;
};

}  // namespace vdpattern::db
