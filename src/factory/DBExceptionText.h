#pragma once
// The text of a database-failure report, shared by the factory's and the catalog's reports: the exception's
// message when it has one, else a fixed form with its return code and state.

#include <vdpattern/toolkit/String.h>

class CDBException;

CString VdDBExceptionText(const CDBException* e);
