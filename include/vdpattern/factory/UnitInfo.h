#pragma once
// UNITINFO: the unit of one parameter column of one family. A family's units map maps lower-case column names
// to UNITINFO; a catalog maps upper-case family names to those maps and hands a family's map to the factory by
// value.

#include <string>
#include <vdpattern/toolkit/VdUnit.h>

struct UNITINFO {
  CVdUnit unit;
  std::wstring paramName;
};
