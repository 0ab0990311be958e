#include "QVSign.h"

#include "ServiceVocabU.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kHalf = kSignatureSize / 2;

template <auto Free> struct TFree {
    template <class T> void operator()(T* aPointer) const { Free(aPointer); }
};
using TBio = std::unique_ptr<BIO, TFree<BIO_free_all>>;
using TPKey = std::unique_ptr<EVP_PKEY, TFree<EVP_PKEY_free>>;
using TMdCtx = std::unique_ptr<EVP_MD_CTX, TFree<EVP_MD_CTX_free>>;
using TEcdsaSig = std::unique_ptr<ECDSA_SIG, TFree<ECDSA_SIG_free>>;
using TBignum = std::unique_ptr<BIGNUM, TFree<BN_free>>;
using TFile = std::unique_ptr<FILE, TFree<fclose>>;

// Empties this thread's OpenSSL error queue when it goes out of scope, so no failure is left
// behind for an unrelated later call to find.
struct TErrorQueueGuard {
    TErrorQueueGuard() { ERR_clear_error(); }
    ~TErrorQueueGuard() { ERR_clear_error(); }
    TErrorQueueGuard(const TErrorQueueGuard&) = delete;
    TErrorQueueGuard& operator=(const TErrorQueueGuard&) = delete;
};

// The most recent OpenSSL error of this thread, or aFallback when the queue holds none.
std::string OpenSSLReason(const char* aFallback) {
    unsigned long code = 0, last = 0;
    while ((code = ERR_get_error()) != 0)
        last = code;
    if (last == 0)
        return aFallback;
    char text[256];
    ERR_error_string_n(last, text, sizeof(text));
    return text;
}

bool IsP256(EVP_PKEY* aKey) {
    if (EVP_PKEY_is_a(aKey, "EC") != 1)
        return false;
    // Keys with explicit curve parameters have no group name and are refused with the rest.
    char name[80];
    std::size_t length = 0;
    if (EVP_PKEY_get_group_name(aKey, name, sizeof(name), &length) != 1)
        return false;
    int nid = OBJ_sn2nid(name);
    if (nid == NID_undef)
        nid = EC_curve_nist2nid(name);
    return nid == NID_X9_62_prime256v1;
}

// Feeds aFile's bytes to anUpdate (EVP_DigestSignUpdate or EVP_DigestVerifyUpdate) in chunks.
bool DigestFile(EVP_MD_CTX* aContext, int (*anUpdate)(EVP_MD_CTX*, const void*, std::size_t), const std::string& aFile,
                std::string& anError) {
    TFile file(std::fopen(aFile.c_str(), "rb"));
    if (!file) {
        anError = "cannot open " + aFile + ": " + std::strerror(errno);
        return false;
    }
    std::vector<unsigned char> buffer(1 << 16);
    for (;;) {
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
        if (got > 0 && anUpdate(aContext, buffer.data(), got) != 1) {
            anError = OpenSSLReason("cannot hash the file");
            return false;
        }
        if (got < buffer.size()) {
            if (std::ferror(file.get())) {
                anError = "cannot read " + aFile + ": " + std::strerror(errno);
                return false;
            }
            return true;
        }
    }
}

// A temporary file beside aTarget, removed unless Commit renames it over aTarget.
class TTempFile {
public:
    explicit TTempFile(const std::string& aTarget) : FTarget(aTarget), FPath(aTarget + ".XXXXXX") {
        FFd = mkstemp(&FPath[0]);
        FCreated = FFd >= 0;
    }
    ~TTempFile() {
        if (FFd >= 0)
            close(FFd);
        if (FCreated && !FCommitted)
            unlink(FPath.c_str());
    }
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;

    bool Write(const std::string& aData, std::string& anError) {
        if (FFd < 0)
            return Fail("cannot create a temporary file beside " + FTarget, anError);
        // mkstemp creates the file readable by its owner only; a published signature is public.
        if (fchmod(FFd, 0644) != 0)
            return Fail("cannot set the mode of " + FPath, anError);
        std::size_t done = 0;
        while (done < aData.size()) {
            const ssize_t n = write(FFd, aData.data() + done, aData.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return Fail("cannot write " + FPath, anError);
            done += static_cast<std::size_t>(n);
        }
        if (fsync(FFd) != 0)
            return Fail("cannot write " + FPath, anError);
        const int fd = FFd;
        FFd = -1;
        if (close(fd) != 0)
            return Fail("cannot write " + FPath, anError);
        return true;
    }
    bool Commit(std::string& anError) {
        if (std::rename(FPath.c_str(), FTarget.c_str()) != 0)
            return Fail("cannot rename " + FPath + " to " + FTarget, anError);
        FCommitted = true;
        return true;
    }

private:
    static bool Fail(const std::string& aWhat, std::string& anError) {
        anError = aWhat + ": " + std::strerror(errno);
        return false;
    }

    std::string FTarget;
    std::string FPath;
    int FFd = -1;
    bool FCreated = false;
    bool FCommitted = false;
};

} // namespace

std::string SignatureFileName(const std::string& aFile) {
    return aFile + kSignatureSuffix.Text;
}

bool SignFileRaw(const std::string& aKeyFile, const std::string& aFile, std::string& aSignature, std::string& anError) {
    TErrorQueueGuard errors;
    TBio bio(BIO_new_file(aKeyFile.c_str(), "r"));
    if (!bio) {
        anError = "cannot open the key " + aKeyFile + ": " + OpenSSLReason("no such file");
        return false;
    }
    // Takes both "EC PRIVATE KEY" and PKCS#8 "PRIVATE KEY"; an encrypted key asks for its passphrase
    // on the terminal.
    TPKey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key) {
        anError = "cannot read a private key from " + aKeyFile + ": " + OpenSSLReason("not a PEM private key");
        return false;
    }
    if (!IsP256(key.get())) {
        anError = "the key in " + aKeyFile + " is not an EC P-256 (prime256v1) key";
        return false;
    }

    TMdCtx context(EVP_MD_CTX_new());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        anError = OpenSSLReason("cannot start the signature");
        return false;
    }
    if (!DigestFile(context.get(), EVP_DigestSignUpdate, aFile, anError))
        return false;
    std::size_t derSize = 0;
    if (EVP_DigestSignFinal(context.get(), nullptr, &derSize) != 1) {
        anError = OpenSSLReason("cannot sign");
        return false;
    }
    std::vector<unsigned char> der(derSize);
    if (EVP_DigestSignFinal(context.get(), der.data(), &derSize) != 1) {
        anError = OpenSSLReason("cannot sign");
        return false;
    }

    // The signature comes as a DER ECDSA-Sig; the published form is the fixed-size r||s.
    const unsigned char* cursor = der.data();
    TEcdsaSig ecdsa(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derSize)));
    if (!ecdsa) {
        anError = OpenSSLReason("cannot decode the signature");
        return false;
    }
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(ecdsa.get(), &r, &s);
    unsigned char raw[kSignatureSize];
    if (BN_bn2binpad(r, raw, kHalf) != static_cast<int>(kHalf) ||
        BN_bn2binpad(s, raw + kHalf, kHalf) != static_cast<int>(kHalf)) {
        anError = "the signature does not fit in " + std::to_string(kSignatureSize) + " bytes";
        return false;
    }
    aSignature.assign(reinterpret_cast<const char*>(raw), sizeof(raw));
    return true;
}

bool SignFile(const std::string& aKeyFile, const std::string& aFile, std::string& anError) {
    std::string signature;
    if (!SignFileRaw(aKeyFile, aFile, signature, anError))
        return false;
    TTempFile temp(SignatureFileName(aFile));
    return temp.Write(signature, anError) && temp.Commit(anError);
}

bool VerifyFileSignature(const std::string& aPublicKeyDer, const std::string& aFile, const std::string& aSignature) {
    TErrorQueueGuard errors;
    if (aSignature.size() != kSignatureSize)
        return false;
    const auto* der = reinterpret_cast<const unsigned char*>(aPublicKeyDer.data());
    const unsigned char* cursor = der;
    TPKey key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(aPublicKeyDer.size())));
    if (!key || cursor != der + aPublicKeyDer.size() || !IsP256(key.get()))
        return false;

    const auto* raw = reinterpret_cast<const unsigned char*>(aSignature.data());
    TBignum r(BN_bin2bn(raw, kHalf, nullptr));
    TBignum s(BN_bin2bn(raw + kHalf, kHalf, nullptr));
    TEcdsaSig ecdsa(ECDSA_SIG_new());
    if (!r || !s || !ecdsa || ECDSA_SIG_set0(ecdsa.get(), r.get(), s.get()) != 1)
        return false;
    // The signature object owns r and s from here on.
    r.release();
    s.release();
    const int derSize = i2d_ECDSA_SIG(ecdsa.get(), nullptr);
    if (derSize <= 0)
        return false;
    std::vector<unsigned char> sigDer(static_cast<std::size_t>(derSize));
    unsigned char* out = sigDer.data();
    if (i2d_ECDSA_SIG(ecdsa.get(), &out) != derSize)
        return false;

    TMdCtx context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1)
        return false;
    std::string error;
    if (!DigestFile(context.get(), EVP_DigestVerifyUpdate, aFile, error))
        return false;
    return EVP_DigestVerifyFinal(context.get(), sigDer.data(), sigDer.size()) == 1;
}
