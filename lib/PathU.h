// File-name arithmetic on Windows paths, without touching the file system. "\\", "/" and ":" all
// end a folder or drive part.
#pragma once

#include <string>

// The path with one trailing "\\" (an existing "\\" or "/" is kept).
std::wstring IncludeTrailingDelimiter(const std::wstring& aPath);
// The folder part with its trailing delimiter; empty when the path has none.
std::wstring ExtractFilePath(const std::wstring& aPath);
// The part after the last delimiter.
std::wstring ExtractFileName(const std::wstring& aPath);
// The file name's extension with its dot; empty when the name has none.
std::wstring ExtractFileExt(const std::wstring& aPath);
