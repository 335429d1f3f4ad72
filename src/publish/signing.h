// The publisher's keys and signatures: a new key pair, the PUBLICKEY= line that names
// its public half, and the signed block of a list (patchlist/list_signature.h says its
// form), made with the private key through OpenSSL.
#pragma once
#include <string>

#include "patchlist/list_signature.h"

namespace publish {

// Writes a new P-256 private key to `keyFile` (PEM, PKCS #8, unencrypted), readable and
// writable by its owner only (0600), and never over an existing file or through a link.
// `publicKeyLine` gets "PUBLICKEY=<key>". A file that could not be written whole is
// removed.
bool GenerateSigningKey(const std::string& keyFile, std::string* publicKeyLine, std::string* error);

// "PUBLICKEY=<key>" for the private key in `keyFile`.
bool PublicKeyLineOf(const std::string& keyFile, std::string* publicKeyLine, std::string* error);

// The directive lines, CR LF included; empty (with the reason in `error`) when a field
// is out of its range.
std::string SignedHeaderLine(const SignedListHeader& header, std::string* error);
std::string FileHashLine(const FileHash& file, const std::string& remoteName, std::string* error);

// The SHA-256 and length of a file as it will be stored on the server.
bool HashStoredFile(const std::string& path, FileHash* out, std::string* error);

// Reads the list at `listPath` through `block` (Feed, then Finish) and gives Finish's
// result in `fault`. False, with the reason, only when the file cannot be read.
bool ReadSignedBlock(const std::string& listPath, SignedList* block, ListSignatureFault* fault, std::string* error);

// The public keys that `text` names, added to `keys`: a key list as PUBLICKEY= takes
// it, with or without "PUBLICKEY=" before it, or a file that holds one: a line
// PUBLICKEY=... (VornPatch.ini, keygen's output), a key list alone, or a private key
// file of this tool (its public half).
bool LoadPublicKeys(const std::string& text, ListPublicKeys* keys, std::string* error);

// A key id as the signature line writes it (16 hex digits), and a UTC time as text.
std::string KeyIdText(const uint8_t id[kKeyIdSize]);
std::string UtcText(plat::FileTime time);

// The header of a list signed now that expires after `days` days (0: never), whole
// seconds.
SignedListHeader NewHeader(uint64_t sequence, int days);

// What a list's signed block says, in one line: "unsigned", or "signed by key K,
// sequence N, expires T" (and what is wrong with it).
std::string DescribeSignedBlock(const SignedList& block, ListSignatureFault fault);

// Signs every byte of `list` (the list up to its last hash line, CR LF line ends) with
// the private key in `keyFile` and appends the signature line. The signature is checked
// against the key's public half before it is appended. `list` is unchanged on failure.
bool AppendSignature(const std::string& keyFile, std::string* list, std::string* error);

}  // namespace publish
