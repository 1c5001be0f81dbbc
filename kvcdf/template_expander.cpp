#include "kvcdf/template_expander.h"

#include <windows.h>

#include <cstring>

#include "platform/file_tree.h"
#include "platform/hresult_error.h"
#include "platform/raii.h"
#include "platform/text.h"

namespace kv::cdf {
namespace {

constexpr size_t kWriteChunk = 1 << 20;

// Buffers the output and writes it in large pieces; every write must write its whole count.
class FileWriter {
public:
    explicit FileWriter(HANDLE file) : file_(file) { buffer_.reserve(kWriteChunk); }
    void Write(std::string_view text) {
        if (buffer_.size() + text.size() > kWriteChunk) Flush();
        if (text.size() >= kWriteChunk)
            WriteAll(text);
        else
            buffer_.append(text);
    }
    void Flush() {
        WriteAll(buffer_);
        buffer_.clear();
    }

private:
    void WriteAll(std::string_view text) {
        while (!text.empty()) {
            DWORD count = static_cast<DWORD>(std::min<size_t>(text.size(), kWriteChunk));
            DWORD written = 0;
            if (!WriteFile(file_, text.data(), count, &written, nullptr) || written != count) ThrowHr(E_FAIL);
            text.remove_prefix(count);
        }
    }
    HANDLE file_;
    std::string buffer_;
};

std::string ReadWholeFile(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& identity) {
    UniqueHandleObj file(CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) ThrowHr(E_INVALIDARG);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || !GetFileInformationByHandle(file.get(), &identity)) ThrowHr(E_FAIL);
    if (static_cast<unsigned long long>(size.QuadPart) > SIZE_MAX / 2) ThrowHr(E_OUTOFMEMORY);
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - got, kWriteChunk * 16));
        DWORD read = 0;
        if (!ReadFile(file.get(), bytes.data() + got, want, &read, nullptr)) ThrowHr(E_FAIL);
        if (read == 0) break;  // the file shrank: what was read is what is processed
        got += read;
    }
    bytes.resize(got);
    return bytes;
}

bool IsSameFile(const std::wstring& path, const BY_HANDLE_FILE_INFORMATION& other) {
    UniqueHandleObj file(CreateFileW(ExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     0, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !GetFileInformationByHandle(file.get(), &info)) return false;
    return info.dwVolumeSerialNumber == other.dwVolumeSerialNumber && info.nFileIndexHigh == other.nFileIndexHigh &&
           info.nFileIndexLow == other.nFileIndexLow;
}

}  // namespace

TemplateExpander::TemplateExpander(std::shared_ptr<const TemplateValues> values) : values_(std::move(values)) {
    ThrowIfNull(values_.get());
}

const std::string& TemplateExpander::ValueOf(std::string_view rawName) {
    if (lastValue_ && rawName == lastName_) return *lastValue_;
    key_.assign(rawName);
    auto it = cache_.find(key_);
    if (it == cache_.end()) it = cache_.emplace(key_, ToAnsi(values_->Get(AsciiUpper(ToWide(rawName))))).first;
    lastName_ = key_;
    lastValue_ = &it->second;  // map nodes stay where they are
    return it->second;
}

std::string TemplateExpander::ExpandText(std::string_view text) {
    std::string out;
    ExpandInto(text, [&](std::string_view piece) { out.append(piece); });
    return out;
}

std::wstring SelfExpansionTempPath(const std::wstring& path) { return path + L".kvnew"; }

void TemplateExpander::Expand(const std::wstring& destination, const std::wstring& source) {
    BY_HANDLE_FILE_INFORMATION identity{};
    std::string text = ReadWholeFile(source, identity);
    bool inPlace = IsSameFile(destination, identity);
    std::wstring target = inPlace ? SelfExpansionTempPath(destination) : destination;

    UniqueHandleObj file(CreateFileW(ExtendedPath(target).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) ThrowHr(E_INVALIDARG);
    try {
        FileWriter writer(file.get());
        ExpandInto(text, [&](std::string_view piece) { writer.Write(piece); });
        writer.Flush();
        file.reset();
        if (inPlace && !MoveFileExW(ExtendedPath(target).c_str(), ExtendedPath(destination).c_str(),
                                    MOVEFILE_REPLACE_EXISTING))
            ThrowHr(E_FAIL);
    } catch (...) {
        file.reset();
        // Only the side file is given up; a destination other than the source was already
        // truncated by its creation, as a failed copy leaves it.
        if (inPlace) DeleteFileW(ExtendedPath(target).c_str());
        throw;
    }
}

}  // namespace kv::cdf
