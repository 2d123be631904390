#pragma once
// Extension: server addresses and catalog link files for programs built on the library. A catalog on a database
// server is named by an address, a libpq URI "postgresql://[user@]host[:port]/database?catalog=NAME" or a
// connection string "host=... dbname=... catalog=NAME", where `catalog` names the schema that holds it. A link
// file is a small text file holding one such address, so that hosts which only know file paths reach the
// catalog; it never holds a password, and may set only the keys that name the server, database, user and
// catalog (with connect_timeout, application_name and an sslmode no weaker than libpq's default).
//
// CVdDatabase::Open and CVdPatternCatalog open both forms directly; these functions are for a program that needs
// to tell an address from a path, check one before using it, or write a link.
//
// The functions that check an address throw CDBException* (state 08001, a message for people) when it is
// malformed or, for a link, holds what a link may not; the catcher releases it with Delete(). Nothing here hands
// out or keeps a pointer: `bytes` is only read during the call.

#include <cstddef>
#include <vector>
#include <vdpattern/toolkit/String.h>
#include <vdpattern/toolkit/VdToolkitExport.h>

// Whether `text` is a server address rather than a file path: it begins with "postgresql://" or "postgres://",
// or with "KEY=" where KEY is a libpq connection keyword or "catalog". Does not throw.
VDTOOLKIT_EXPORT bool VdIsServerAddress(const CString& text);

// Whether the first `length` bytes of a file are those of a catalog link file. Does not throw.
VDTOOLKIT_EXPORT bool VdIsLinkFileHeader(const unsigned char* bytes, std::size_t length);

// Checks `address` as the library would connect with it; with `forLinkFile`, also refuses a password and any key
// a link may not hold. Throws CDBException* when it is refused.
VDTOOLKIT_EXPORT void VdCheckServerAddress(const CString& address, bool forLinkFile = false);

// The catalog (schema) an address names; empty for the database's default schema. Throws CDBException* when the
// address is malformed.
VDTOOLKIT_EXPORT CString VdServerCatalogName(const CString& address);

// Writes a link file at `path` holding `address`, checked as for a link: whole or not at all (a temporary file in
// the same folder, synced and renamed into place); a file that is not a link file is never replaced. Throws
// CDBException* when the address is refused or the file cannot be written.
VDTOOLKIT_EXPORT void VdWriteLinkFile(const CString& path, const CString& address);

// The catalogs (schemas holding one) of the database `address` connects to that its role may use, in name
// order, at most `limit`: for telling a user who gave an address without a catalog what to add. Makes one
// short connection; empty when there are none or the server cannot be asked. Does not throw (an address that
// is malformed gives an empty list).
VDTOOLKIT_EXPORT std::vector<CString> VdListServerCatalogs(const CString& address, std::size_t limit = 20);
