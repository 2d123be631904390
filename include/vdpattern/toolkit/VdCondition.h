#pragma once
// Extension: checking a condition that a person typed (a command line's --where, a search box) before it goes
// into a statement's WHERE.
//
// VdRewriteCondition reads the condition with the statement language's own tokens and keeps it a condition on
// the given columns only: column names (bare, [bracketed], "quoted" or `quoted`) must be among `columns`
// (compared without case) and are written [bracketed] as `columns` spells them; numbers, 'texts', the
// operators = == <> != < <= > >= + - * / % || and parentheses, the words AND OR NOT LIKE IN BETWEEN IS NULL
// ESCAPE and the functions ABS ROUND LOWER UPPER LENGTH TRIM ISNULL IIF are allowed. Anything else (another
// table, a SELECT, a second statement, a comment, any other function) is refused, and `error` says what, in
// plain words (UTF-8, without the condition around it; control characters shown as '?'). The allowed tokens
// must also make one condition as the engines read it (`h <` is incomplete, `h h` has a value after a value,
// LENGTH takes one value): a condition that passes reaches no engine's syntax error. An unknown column is
// told with the nearest columns ("no column \"hh\" in the family; did you mean h?").
//
// Ownership: everything is passed and returned by value or by reference; nothing is kept. Throws nothing but
// std::bad_alloc.

#include <string>
#include <vector>
#include <vdpattern/toolkit/VdToolkitExport.h>

// True with the rewritten condition in `out` (its words upper case, its tokens one blank apart); false with
// `error` set and `out` unchanged.
VDTOOLKIT_EXPORT bool VdRewriteCondition(const std::wstring& condition, const std::vector<std::wstring>& columns,
                                         std::wstring& out, std::string& error);
