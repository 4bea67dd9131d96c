#include "low/Errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace quenlo {

namespace {
std::string Format(const char* fmt, long long a, long long b = 0) {
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, a, b);
    return buf;
}
}  // namespace

std::string EInOutError::MessageFor(int code) {
    switch (code) {
        case 2: return "ファイルが見つかりません";
        case 3: return "不正なファイル名です";
        case 4: return "オープンしたファイルが多すぎます";
        case 5: return "ファイルへのアクセスが拒否されました";
        case 106: return "入力値が数値ではありません";
        default: return Format("I/O エラー (%lld)", code);
    }
}

namespace {
// The run-time's own code for an errno value, or 0 when it has none.
int RunTimeCodeFor(int err) {
    switch (err) {
        case ENOENT: case ENOTDIR: return 2;
        case ENAMETOOLONG: case EINVAL: return 3;
        case EMFILE: case ENFILE: return 4;
        case EACCES: case EPERM: case EROFS: case EISDIR: return 5;
        default: return 0;
    }
}
}  // namespace

int EInOutError::CodeFromErrno(int err) {
    const int code = RunTimeCodeFor(err);
    return code ? code : err;
}

EInOutError EInOutError::FromErrno(int err) {
    const int code = CodeFromErrno(err);
    if (RunTimeCodeFor(err)) return EInOutError(code);
    const char* what = ::strerrordesc_np(err);
    // Not MessageFor: errno 5 (EIO) is not the run-time's 5, "access denied".
    return EInOutError(code, Format("I/O エラー (%lld)", code) + (what ? std::string(": ") + what : std::string()));
}

EInOutError::EInOutError(int code) : EQuenlo(MessageFor(code)), code_(code) {}
EInOutError::EInOutError(int code, const std::string& message) : EQuenlo(message), code_(code) {}

EInvalidImageSize::EInvalidImageSize(long long width, long long height)
    : EQuenlo(Format("invalid image size %lld x %lld", width, height)) {}

namespace {
std::string TooLargeText(long long width, long long height, long long limit, const std::string& raiseWith) {
    std::string text = Format("image too large: %lld x %lld is above the limit of ", width, height);
    text.append(std::to_string(limit)).append(" pixels");
    if (!raiseWith.empty()) text.append(" (").append(raiseWith).append(" raises it)");
    return text;
}
}  // namespace

EImageTooLarge::EImageTooLarge(long long width, long long height, long long limit, const std::string& raiseWith)
    : EQuenlo(TooLargeText(width, height, limit, raiseWith)) {}

// Code 5, as the run-time gives for what cannot be opened for reading.
ENotRegularFile::ENotRegularFile() : EInOutError(5, "not a regular file") {}
ENotRegularFile::ENotRegularFile(const std::string& name) : EInOutError(5, name + " is not a regular file") {}

EInvalidGraphic::EInvalidGraphic() : EQuenlo("ビットマップイメージが不正です") {}
EInvalidGraphic::EInvalidGraphic(const std::string& detail)
    : EQuenlo("ビットマップイメージが不正です"), detail_(detail) {}

EJpegError::EJpegError(int code) : EQuenlo(Format("JPEG エラー #%lld", code)), code_(code) {}
EJpegError::EJpegError(int code, const std::string& detail)
    : EQuenlo(Format("JPEG エラー #%lld", code)), code_(code), detail_(detail) {}

std::string DescribeError(const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e)) return "out of memory";
    std::string detail;
    if (auto* g = dynamic_cast<const EInvalidGraphic*>(&e)) detail = g->Detail();
    if (auto* j = dynamic_cast<const EJpegError*>(&e)) detail = j->Detail();
    return detail.empty() ? std::string(e.what()) : std::string(e.what()) + " (" + detail + ")";
}

EFCreateError::EFCreateError(const std::string& fileName)
    : EQuenlo("ファイル " + fileName + " を作成できません") {}

}  // namespace quenlo
