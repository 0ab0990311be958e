#include "StreamU.h"

#include "FallbackU.h"
#include <algorithm>
#include <cstring>

namespace {

const std::int64_t kCopyBufferSize = 64 * 1024;

void PutLittleEndian(std::uint8_t* aOut, std::uint64_t aValue, int aBytes) {
    for (int i = 0; i < aBytes; ++i)
        aOut[i] = static_cast<std::uint8_t>(aValue >> (8 * i));
}

} // namespace

std::int64_t TByteStream::CopyFrom(TByteStream& aSource) {
    aSource.SetPosition(0);
    std::vector<std::uint8_t> buffer(static_cast<size_t>(kCopyBufferSize));
    std::int64_t total = 0;
    for (;;) {
        const std::int64_t n = aSource.Read(buffer.data(), kCopyBufferSize);
        if (n <= 0)
            break;
        if (Write(buffer.data(), n) != n)
            throw EStreamError("stream write error");
        total += n;
    }
    return total;
}

std::int64_t TMemoryStream::Read(void* aBuf, std::int64_t aCount) {
    const std::int64_t size = GetSize();
    if (aCount <= 0 || FPosition >= size)
        return 0;
    const std::int64_t n = std::min(aCount, size - FPosition);
    std::memcpy(aBuf, FData.data() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

std::int64_t TMemoryStream::Write(const void* aBuf, std::int64_t aCount) {
    if (aCount <= 0)
        return 0;
    const std::int64_t end = FPosition + aCount;
    if (end > GetSize())
        FData.resize(static_cast<size_t>(end));
    std::memcpy(FData.data() + FPosition, aBuf, static_cast<size_t>(aCount));
    FPosition = end;
    return aCount;
}

void TMemoryStream::SetSize(std::int64_t aSize) {
    if (aSize < 0)
        throw EStreamError("negative stream size");
    FData.resize(static_cast<size_t>(aSize));
    if (FPosition > aSize)
        FPosition = aSize;
}

void TMemoryStream::SetPosition(std::int64_t aPosition) {
    if (aPosition < 0)
        throw EStreamError("negative stream position");
    FPosition = aPosition;
}

std::int64_t TFileStream::Read(void* aBuf, std::int64_t aCount) {
    std::int64_t total = 0;
    auto* p = static_cast<std::uint8_t*>(aBuf);
    while (total < aCount) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::int64_t>(aCount - total, 1 << 30));
        DWORD done = 0;
        if (!ReadFile(FHandle.get(), p + total, chunk, &done, nullptr) || done == 0)
            break;
        total += done;
    }
    return total;
}

std::int64_t TFileStream::Write(const void* aBuf, std::int64_t aCount) {
    std::int64_t total = 0;
    const auto* p = static_cast<const std::uint8_t*>(aBuf);
    while (total < aCount) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::int64_t>(aCount - total, 1 << 30));
        DWORD done = 0;
        if (!WriteFile(FHandle.get(), p + total, chunk, &done, nullptr) || done == 0)
            break;
        total += done;
    }
    return total;
}

std::int64_t TFileStream::GetSize() {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(FHandle.get(), &size))
        throw EStreamError("cannot read the file size");
    return size.QuadPart;
}

void TFileStream::SetSize(std::int64_t aSize) {
    const std::int64_t position = GetPosition();
    SetPosition(aSize);
    if (!SetEndOfFile(FHandle.get()))
        throw EStreamError("cannot change the file size");
    SetPosition(std::min(position, aSize));
}

std::int64_t TFileStream::GetPosition() {
    LARGE_INTEGER zero{}, position{};
    if (!SetFilePointerEx(FHandle.get(), zero, &position, FILE_CURRENT))
        throw EStreamError("cannot read the file position");
    return position.QuadPart;
}

void TFileStream::SetPosition(std::int64_t aPosition) {
    LARGE_INTEGER target{};
    target.QuadPart = aPosition;
    if (!SetFilePointerEx(FHandle.get(), target, nullptr, FILE_BEGIN))
        throw EStreamError("cannot move the file position");
}

std::string TStreamWriter::EncodeText(const std::wstring& iStr) const {
    const size_t n = iStr.size();
    if (n == 0)
        return std::string();
    if (Unicode) {
        std::string bytes(n * 2, '\0');
        for (size_t i = 0; i < n; ++i)
            PutLittleEndian(reinterpret_cast<std::uint8_t*>(&bytes[i * 2]), iStr[i], 2);
        return bytes;
    }
    const int len = static_cast<int>(n);
    const int needed = WideCharToMultiByte(CP_ACP, 0, iStr.data(), len, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(std::max(needed, 0)), '\0');
    if (needed > 0)
        WideCharToMultiByte(CP_ACP, 0, iStr.data(), len, bytes.data(), needed, nullptr, nullptr);
    bytes.resize(n, '?');
    return bytes;
}

bool TStreamWriter::PutBytes(const void* aBuf, std::int64_t aCount) {
    if (aCount > 0)
        fStream->Write(aBuf, aCount);
    return true;
}

bool TStreamWriter::WriteRaw(const void* aBuf, std::int64_t aCount) {
    if (!fStream)
        return false;
    return ResultOr<bool>("TStreamWriter.WriteRaw", false, [&]() -> bool { return PutBytes(aBuf, aCount); });
}

bool TStreamWriter::Write(const std::wstring& iStr) {
    if (!fStream)
        return false;
    return ResultOr<bool>("TStreamWriter.Write", false, [&]() -> bool {
        const std::string bytes = EncodeText(iStr);
        return PutBytes(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    });
}

bool TStreamWriter::Write(const std::string& iStr) {
    if (!fStream)
        return false;
    return ResultOr<bool>("TStreamWriter.Write", false,
                          [&]() -> bool { return PutBytes(iStr.data(), static_cast<std::int64_t>(iStr.size())); });
}

bool TStreamWriter::WriteLn(const std::wstring& iStr) {
    return ResultOr<bool>("TStreamWriter.WriteLn", false, [&]() -> bool { return Write(iStr + L"\r\n"); });
}

bool TStreamWriter::WriteLn(const std::string& iStr) {
    return ResultOr<bool>("TStreamWriter.WriteLn", false, [&]() -> bool { return Write(iStr + "\r\n"); });
}

bool TStreamWriter::WriteStr(const std::wstring& iStr) {
    if (!fStream)
        return false;
    return ResultOr<bool>("TStreamWriter.WriteStr", false, [&]() -> bool {
        const std::int32_t n = static_cast<std::int32_t>(iStr.size());
        std::uint8_t prefix[4];
        PutLittleEndian(prefix, static_cast<std::uint32_t>(n), 4);
        PutBytes(prefix, 4);
        if (n > 0) {
            const std::string bytes = EncodeText(iStr);
            PutBytes(bytes.data(), static_cast<std::int64_t>(bytes.size()));
        }
        return true;
    });
}

bool TStreamWriter::WriteStr(const std::string& iStr) {
    if (!fStream)
        return false;
    return ResultOr<bool>("TStreamWriter.WriteStr", false, [&]() -> bool {
        std::uint8_t prefix[4];
        PutLittleEndian(prefix, static_cast<std::uint32_t>(iStr.size()), 4);
        PutBytes(prefix, 4);
        return PutBytes(iStr.data(), static_cast<std::int64_t>(iStr.size()));
    });
}

bool TStreamWriter::WriteInt(std::int32_t iInt) {
    std::uint8_t b[4];
    PutLittleEndian(b, static_cast<std::uint32_t>(iInt), 4);
    return WriteRaw(b, 4);
}

bool TStreamWriter::WriteByte(std::uint8_t iByte) {
    return WriteRaw(&iByte, 1);
}

bool TStreamWriter::WriteDouble(double iDouble) {
    static_assert(sizeof(double) == 8, "IEEE 754 double expected");
    std::uint64_t bits = 0;
    std::memcpy(&bits, &iDouble, 8);
    std::uint8_t b[8];
    PutLittleEndian(b, bits, 8);
    return WriteRaw(b, 8);
}

bool TStreamWriter::WriteBool(bool iBool) {
    const std::uint8_t b = iBool ? 1 : 0;
    return WriteRaw(&b, 1);
}

bool TStreamWriter::WriteWord(std::uint16_t iWord) {
    std::uint8_t b[2];
    PutLittleEndian(b, iWord, 2);
    return WriteRaw(b, 2);
}

bool TStreamWriter::WriteBuf(const void* iBuf, std::int32_t iSiz) {
    return WriteRaw(iBuf, iSiz);
}

bool TStreamWriter::WriteStream(TByteStream* iStream) {
    if (!fStream || !iStream)
        return false;
    return ResultOr<bool>("TStreamWriter.WriteStream", false, [&]() -> bool {
        fStream->CopyFrom(*iStream);
        return true;
    });
}

bool TStreamWriter::WriteStreamData(TByteStream* iStream) {
    if (!fStream || !iStream)
        return false;
    return ResultOr<bool>("TStreamWriter.WriteStreamData", false, [&]() -> bool {
        iStream->SetPosition(0);
        const std::int64_t size = iStream->GetSize();
        std::vector<std::uint8_t> buffer(static_cast<size_t>(size));
        iStream->Read(buffer.data(), size);
        WriteBuf(buffer.data(), static_cast<std::int32_t>(size));
        return true;
    });
}

TMemoryStreamWriter::TMemoryStreamWriter() : TStreamWriter(nullptr) {
    fStream = &FMemory;
}

TMemoryStreamWriter::~TMemoryStreamWriter() {
    fStream = nullptr;
}
