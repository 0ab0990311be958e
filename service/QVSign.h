// Signing of update archives by the vendor: ECDSA over the P-256 curve with SHA-256 of the file's
// bytes. A signature is stored raw as r||s, each 32 bytes big-endian and left-padded with zeros,
// in a file named like the archive plus ".sig", published beside it.
#pragma once

#include <cstddef>
#include <string>

constexpr std::size_t kSignatureSize = 64;

// The name of the signature file of aFile: "pkg.cab" -> "pkg.cab.sig".
std::string SignatureFileName(const std::string& aFile);

// The raw signature of aFile's bytes (read in chunks, never whole) made with the private key in the
// PEM file aKeyFile ("EC PRIVATE KEY" or PKCS#8 "PRIVATE KEY"). Keys of any other type or curve are
// refused. False with the reason in anError on failure; aSignature is then unchanged.
bool SignFileRaw(const std::string& aKeyFile, const std::string& aFile, std::string& aSignature, std::string& anError);

// Signs aFile as SignFileRaw does and writes the signature to SignatureFileName(aFile) through a
// temporary file in the same folder and a rename, so readers see the old file or the whole new one.
// False with the reason in anError on failure; nothing is created or replaced then.
bool SignFile(const std::string& aKeyFile, const std::string& aFile, std::string& anError);

// True when aSignature (raw r||s, kSignatureSize bytes) is a valid signature of aFile's bytes under
// the P-256 public key aPublicKeyDer (DER SubjectPublicKeyInfo). False for every other outcome:
// a bad signature, a key that is not P-256, a file that cannot be read.
bool VerifyFileSignature(const std::string& aPublicKeyDer, const std::string& aFile, const std::string& aSignature);
