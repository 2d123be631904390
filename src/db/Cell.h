#pragma once
// One stored value of a result row, as the engine gave it: its storage class and either a number or the
// position of its bytes (UTF-8 text or a byte block) in the row storage's byte arena. Kept to 16 bytes so that
// a result is a few large blocks of cells and one arena, whatever its number of rows.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

// The cells of a result, a row's cells side by side, in blocks that double in size: block k holds
// kFirstRows * 2^k rows. Growing never moves a row already read, so a large result costs its own size in
// memory rather than the twice that a doubling array touches, and nothing is copied on the way.
class CellStore {
 public:
  CellStore() = default;
  CellStore(const CellStore&) = delete;
  CellStore& operator=(const CellStore&) = delete;

  // No rows; rows of `stride` cells from now on. Blocks are kept for the next result.
  void Reset(std::size_t stride) {
    m_rows = 0;
    m_stride = stride;
  }
  std::size_t Rows() const { return m_rows; }
  std::size_t Stride() const { return m_stride; }
  // Cells held in blocks, used or not.
  std::size_t Capacity() const {
    std::size_t cells = 0;
    for (const Block& b : m_blocks) cells += b.size;
    return cells;
  }

  Cell* Row(std::size_t row) {
    const std::size_t k = BlockOf(row);
    return m_blocks[k].cells.get() + (row - kFirstRows * ((std::size_t{1} << k) - 1)) * m_stride;
  }
  const Cell* Row(std::size_t row) const { return const_cast<CellStore*>(this)->Row(row); }
  Cell& At(std::size_t row, std::size_t column) { return Row(row)[column]; }
  const Cell& At(std::size_t row, std::size_t column) const { return Row(row)[column]; }

  // A new last row of null cells.
  Cell* AppendRow() {
    const std::size_t k = BlockOf(m_rows);
    const std::size_t needed = (kFirstRows << k) * m_stride;
    if (k >= m_blocks.size()) m_blocks.resize(k + 1);
    if (m_blocks[k].size < needed) {
      m_blocks[k].cells.reset(new Cell[needed]);
      m_blocks[k].size = needed;
    }
    Cell* row = Row(m_rows);
    for (std::size_t c = 0; c < m_stride; ++c) row[c] = Cell();
    ++m_rows;
    return row;
  }

  // Keeps the first `rows` rows only.
  void Truncate(std::size_t rows) { m_rows = std::min(m_rows, rows); }

  // Removes a row; the rows after it move up one.
  void EraseRow(std::size_t row) {
    for (std::size_t r = row; r + 1 < m_rows; ++r) {
      const Cell* next = Row(r + 1);
      std::copy(next, next + m_stride, Row(r));
    }
    --m_rows;
  }

 private:
  static constexpr std::size_t kFirstRows = 16;
  struct Block {
    std::unique_ptr<Cell[]> cells;
    std::size_t size = 0;  // cells
  };

  // Block k starts at row kFirstRows * (2^k - 1).
  static std::size_t BlockOf(std::size_t row) {
    return static_cast<std::size_t>(63 - __builtin_clzll(static_cast<unsigned long long>(row / kFirstRows + 1)));
  }

  std::vector<Block> m_blocks;
  std::size_t m_rows = 0;
  std::size_t m_stride = 0;
};

// A value waiting to be written (Edit / AddNew): the same storage classes, bytes held by value.
struct PendingValue {
  CellKind kind = CellKind::kNull;
  std::int64_t i = 0;
  double d = 0;
  std::string bytes;
};

}  // namespace vdpattern::db
