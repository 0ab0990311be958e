// Checks publisher signatures: ECDSA over the NIST P-256 curve with SHA-256, through Windows CNG.
// A signature is the raw pair r||s, 32 big-endian bytes each, over the SHA-256 of the signed bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using TP256Point = std::array<std::uint8_t, 64>; // X||Y of an uncompressed public point
using TSha256 = std::array<std::uint8_t, 32>;

constexpr std::size_t kP256SignatureSize = 64;
// Length of a P-256 public key as DER SubjectPublicKeyInfo with an uncompressed point.
constexpr std::size_t kP256SubjectPublicKeyInfoSize = 91;

// The point of a P-256 public key given as DER SubjectPublicKeyInfo (what
// "openssl ec -pubout -outform DER" writes); nothing for any other curve, algorithm or encoding.
std::optional<TP256Point> P256PointFromSubjectPublicKeyInfo(const std::uint8_t* aData, std::size_t aSize);

// The DER SubjectPublicKeyInfo of a point; the inverse of the above.
std::vector<std::uint8_t> SubjectPublicKeyInfoFromP256Point(const TP256Point& aPoint);

// SHA-256 of the bytes, or of a file's contents read in pieces; nothing when the file cannot be
// opened or read, or CNG fails.
std::optional<TSha256> Sha256(const std::uint8_t* aData, std::size_t aSize);
std::optional<TSha256> FileSha256(const std::wstring& aFileName);

// True when aSignature is a valid signature of aHash under aPoint. Any other length, a point
// not on the curve or a CNG failure gives false.
bool VerifyP256Hash(const TP256Point& aPoint, const TSha256& aHash, const std::vector<std::uint8_t>& aSignature);

// True when aSignatureFile holds exactly one valid signature of aFileName's bytes under aPoint.
bool VerifyFileSignature(const std::wstring& aFileName, const std::wstring& aSignatureFile, const TP256Point& aPoint);
