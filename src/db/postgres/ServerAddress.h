#pragma once
// Where a catalog on a database server is: the address a host or a user gives (a libpq URI
// "postgresql://[user@]host[:port]/database?catalog=NAME" or a connection string "host=... dbname=...
// catalog=NAME"), and the catalog link files that let hosts which only know file paths reach one.
//
// `catalog` is this library's own key: it names the schema that holds the catalog (without it, the database's
// default schema). libpq refuses keys it does not know, so the key is taken out before libpq sees the rest.
//
// A link file is a small text file: the first line is kLinkFileFirstLine, then lines that are blank or start
// with '#', and exactly one line with the address. Link files are written to be shared (on a network folder,
// in a project's files), so they never hold a password: libpq's password file, service file and environment
// hold credentials. Reading refuses a link that holds one, so a password put there by hand is not used.
// A link comes from someone else, so it may set only the keys that name the server, database, user and
// catalog (host, hostaddr, port, dbname, user, catalog), and connect_timeout, application_name and an sslmode
// no weaker than libpq's default (prefer); any other key (passfile, options, sslrootcert, service...) is refused
// by name. The reader's own environment (PGPASSFILE, PGSERVICE, PGSSLMODE...) applies as always. An address a
// host or a user gives directly (OpenConnection, the tool's command line) is the user's own: every libpq key
// is accepted there, as psql accepts it.
//
// Every failure throws CDBException* with state 08001 and a message that says what is wrong; the catcher
// releases it with Delete(). Exported from vdtoolkit for the libraries and their tests; no installed header
// declares it.

#include <string>
#include <string_view>
#include <vector>
#include <vdpattern/toolkit/String.h>
#include <vdpattern/toolkit/VdToolkitExport.h>

namespace vdpattern::db {

inline constexpr const char* kLinkFileFirstLine = "# vdpattern catalog link";

struct ServerAddress {
  std::string conninfo;  // UTF-8, for libpq: the address without the catalog key
  std::string catalog;   // the schema; empty for the database's default
};

// Whether `text` is a server address rather than a file path: it begins with "postgresql://" or
// "postgres://", or with "KEY=" where KEY is a libpq connection keyword or "catalog".
VDTOOLKIT_EXPORT bool IsServerAddress(std::wstring_view text);

// Takes the catalog key out of a server address and checks the rest with libpq's own parser. With
// `forLinkFile`, an address that holds a password or a key a link may not hold is refused.
VDTOOLKIT_EXPORT ServerAddress ParseServerAddress(std::wstring_view text, bool forLinkFile = false);

// Whether a file's first bytes are those of a link file.
VDTOOLKIT_EXPORT bool IsLinkFileHeader(const unsigned char* bytes, std::size_t length);

// The address a link file holds, checked as ParseServerAddress(text, true) checks it.
VDTOOLKIT_EXPORT ServerAddress ReadLinkFile(const CString& path);

// Writes a link file to `path` for `address`: the text goes to a temporary file in the same folder, which is
// synced and renamed into place, so the link is whole or absent; an existing file that is not a link file is
// never replaced. A new link file gets the permissions the umask leaves of 0666; a replaced one keeps its own.
VDTOOLKIT_EXPORT void WriteLinkFile(const CString& path, std::wstring_view address);

// The schemas of the database `address` connects to that hold a catalog (its "Definition" and
// "FamilyDescription" tables) and that the role may use, in name order, at most `limit`; empty when there
// are none or the server cannot be asked. For the hint of an address that names no catalog; never throws.
VDTOOLKIT_EXPORT std::vector<std::string> ServerCatalogs(const ServerAddress& address, std::size_t limit);

}  // namespace vdpattern::db
