// Reads a certificate or private key file, DER or PEM, into the DER bytes the OPC UA
// library takes, as base64 text.
#pragma once
#include <string>
#include <string_view>

// The DER content of the file as base64 text; empty when the file is missing, cannot be
// read or holds no acceptable DER content (at least 64 bytes beginning with 30 82, an
// ASN.1 SEQUENCE with a two-byte length).
std::string ReadDerFileBase64(const std::string& path);

// The same rule applied to bytes already read: DER as is, else PEM text (BEGIN/END lines
// and blank lines dropped, any line ends).
std::string DerBase64FromBytes(std::string_view bytes);

// True for bytes the reader accepts as DER: at least 64 long, beginning with 30 82.
bool LooksLikeDer(std::string_view bytes);
