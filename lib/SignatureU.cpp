#include "SignatureU.h"

#include "HandleU.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>

void TBCryptAlgorithmTraits::close(type h) noexcept {
    BCryptCloseAlgorithmProvider(h, 0);
}

void TBCryptKeyTraits::close(type h) noexcept {
    BCryptDestroyKey(h);
}

void TBCryptHashTraits::close(type h) noexcept {
    BCryptDestroyHash(h);
}

namespace {

// SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING { 0x04 (uncompressed) ... } }:
// everything of a P-256 SubjectPublicKeyInfo before the coordinates.
const std::uint8_t kP256SpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                        0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                        0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
static_assert(sizeof(kP256SpkiPrefix) + 64 == kP256SubjectPublicKeyInfoSize, "P-256 key layout");

bool Succeeded(NTSTATUS aStatus) {
    return aStatus >= 0;
}

class TSha256Hasher {
public:
    TSha256Hasher() {
        if (!Succeeded(BCryptOpenAlgorithmProvider(FAlgorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
            !Succeeded(BCryptCreateHash(FAlgorithm.get(), FHash.put(), nullptr, 0, nullptr, 0, 0)))
            FHash.reset();
    }
    bool Valid() const { return FHash.valid(); }
    bool Add(const std::uint8_t* aData, std::size_t aSize) {
        // BCryptHashData takes a ULONG count; feed large buffers in pieces.
        while (aSize > 0) {
            const ULONG piece = aSize > 0x40000000 ? 0x40000000 : static_cast<ULONG>(aSize);
            if (!Succeeded(BCryptHashData(FHash.get(), const_cast<PUCHAR>(aData), piece, 0)))
                return false;
            aData += piece;
            aSize -= piece;
        }
        return true;
    }
    std::optional<TSha256> Finish() {
        TSha256 digest{};
        if (!Succeeded(BCryptFinishHash(FHash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0)))
            return std::nullopt;
        return digest;
    }

private:
    TUniqueBCryptAlgorithm FAlgorithm;
    TUniqueBCryptHash FHash;
};

} // namespace

std::optional<TP256Point> P256PointFromSubjectPublicKeyInfo(const std::uint8_t* aData, std::size_t aSize) {
    if (!aData || aSize != kP256SubjectPublicKeyInfoSize ||
        std::memcmp(aData, kP256SpkiPrefix, sizeof(kP256SpkiPrefix)) != 0)
        return std::nullopt;
    TP256Point point;
    std::memcpy(point.data(), aData + sizeof(kP256SpkiPrefix), point.size());
    return point;
}

std::vector<std::uint8_t> SubjectPublicKeyInfoFromP256Point(const TP256Point& aPoint) {
    std::vector<std::uint8_t> spki(kP256SubjectPublicKeyInfoSize);
    std::memcpy(spki.data(), kP256SpkiPrefix, sizeof(kP256SpkiPrefix));
    std::memcpy(spki.data() + sizeof(kP256SpkiPrefix), aPoint.data(), aPoint.size());
    return spki;
}

std::optional<TSha256> Sha256(const std::uint8_t* aData, std::size_t aSize) {
    TSha256Hasher hasher;
    if (!hasher.Valid() || !hasher.Add(aData, aSize))
        return std::nullopt;
    return hasher.Finish();
}

std::optional<TSha256> FileSha256(const std::wstring& aFileName) {
    TUniqueFile file(CreateFileW(aFileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return std::nullopt;
    TSha256Hasher hasher;
    if (!hasher.Valid())
        return std::nullopt;
    std::vector<std::uint8_t> buffer(1 << 16);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
            return std::nullopt;
        if (read == 0)
            break;
        if (!hasher.Add(buffer.data(), read))
            return std::nullopt;
    }
    return hasher.Finish();
}

bool VerifyP256Hash(const TP256Point& aPoint, const TSha256& aHash, const std::vector<std::uint8_t>& aSignature) {
    if (aSignature.size() != kP256SignatureSize)
        return false;
    TUniqueBCryptAlgorithm algorithm;
    if (!Succeeded(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
        return false;
    // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y.
    std::vector<std::uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + aPoint.size());
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), aPoint.data(), aPoint.size());
    TUniqueBCryptKey key;
    if (!Succeeded(BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.put(), blob.data(),
                                       static_cast<ULONG>(blob.size()), 0)))
        return false;
    return BCryptVerifySignature(key.get(), nullptr, const_cast<PUCHAR>(aHash.data()), static_cast<ULONG>(aHash.size()),
                                 const_cast<PUCHAR>(aSignature.data()), static_cast<ULONG>(aSignature.size()), 0) == 0;
}

bool VerifyFileSignature(const std::wstring& aFileName, const std::wstring& aSignatureFile, const TP256Point& aPoint) {
    TUniqueFile file(CreateFileW(aSignatureFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    // One byte more than a signature is read, so that a longer file is told apart and refused.
    std::vector<std::uint8_t> signature(kP256SignatureSize + 1);
    DWORD read = 0, total = 0;
    while (
        total < signature.size() &&
        ReadFile(file.get(), signature.data() + total, static_cast<DWORD>(signature.size() - total), &read, nullptr) &&
        read > 0)
        total += read;
    if (total != kP256SignatureSize)
        return false;
    signature.resize(total);
    const std::optional<TSha256> hash = FileSha256(aFileName);
    return hash && VerifyP256Hash(aPoint, *hash, signature);
}
