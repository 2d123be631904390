#pragma once
// Every public class of the library.

#include <vdpattern/Version.h>
#include <vdpattern/toolkit/Archive.h>
#include <vdpattern/toolkit/Collate.h>
#include <vdpattern/toolkit/DBTypes.h>
#include <vdpattern/toolkit/Guid.h>
#include <vdpattern/toolkit/OleAuto.h>
#include <vdpattern/toolkit/OleVariant.h>
#include <vdpattern/toolkit/Report.h>
#include <vdpattern/toolkit/String.h>
#include <vdpattern/toolkit/Utf8.h>
#include <vdpattern/toolkit/VariantConv.h>
#include <vdpattern/toolkit/VdDatabase.h>
#include <vdpattern/toolkit/VdObject.h>
#include <vdpattern/toolkit/VdRecordset.h>
#include <vdpattern/toolkit/VdUnit.h>
#include <vdpattern/toolkit/WinTypes.h>
#include <vdpattern/pattern/VdPatternValue.h>
#include <vdpattern/pattern/VdPattern.h>
#include <vdpattern/pool/VdIterator.h>
#include <vdpattern/pool/VdListIterator.h>
#include <vdpattern/pool/VdPatternPool.h>
