#include "low/Errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "low/Messages.h"

namespace quenlo {

std::string EInOutError::MessageFor(int code) {
    switch (code) {
        case 2: return Tr("ファイルが見つかりません");
        case 3: return Tr("不正なファイル名です");
        case 4: return Tr("オープンしたファイルが多すぎます");
        case 5: return Tr("ファイルへのアクセスが拒否されました");
        case 106: return Tr("入力値が数値ではありません");
        default: return FormatText(Tr("I/O エラー (%d)"), code);
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
    return EInOutError(code, FormatText(Tr("I/O エラー (%d)"), code) + (what ? std::string(": ") + what : std::string()));
}

EInOutError::EInOutError(int code) : EQuenlo(MessageFor(code)), code_(code) {}
EInOutError::EInOutError(int code, const std::string& message) : EQuenlo(message), code_(code) {}

EInvalidImageSize::EInvalidImageSize(long long width, long long height)
    : EQuenlo(FormatText(Tr("invalid image size %lld x %lld"), width, height)) {}

namespace {
std::string TooLargeText(long long width, long long height, long long limit, const std::string& raiseWith) {
    std::string text = FormatText(Tr("image too large: %lld x %lld is above the limit of %lld pixels"), width, height, limit);
    if (!raiseWith.empty()) text += FormatText(Tr(" (%s raises it)"), raiseWith.c_str());
    return text;
}
}  // namespace

EImageTooLarge::EImageTooLarge(long long width, long long height, long long limit, const std::string& raiseWith)
    : EQuenlo(TooLargeText(width, height, limit, raiseWith)) {}

// Code 5, as the run-time gives for what cannot be opened for reading.
ENotRegularFile::ENotRegularFile() : EInOutError(5, Tr("not a regular file")) {}
ENotRegularFile::ENotRegularFile(const std::string& name) : EInOutError(5, FormatText(Tr("%s is not a regular file"), name.c_str())) {}

EInvalidGraphic::EInvalidGraphic() : EQuenlo(Tr("ビットマップイメージが不正です")) {}
EInvalidGraphic::EInvalidGraphic(const std::string& detail)
    : EQuenlo(Tr("ビットマップイメージが不正です")), detail_(detail) {}

EJpegError::EJpegError(int code) : EQuenlo(FormatText(Tr("JPEG エラー #%d"), code)), code_(code) {}
EJpegError::EJpegError(int code, const std::string& detail)
    : EQuenlo(FormatText(Tr("JPEG エラー #%d"), code)), code_(code), detail_(detail) {}

std::string DescribeError(const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e)) return Tr("out of memory");
    std::string detail;
    if (auto* g = dynamic_cast<const EInvalidGraphic*>(&e)) detail = g->Detail();
    if (auto* j = dynamic_cast<const EJpegError*>(&e)) detail = j->Detail();
    return detail.empty() ? std::string(e.what()) : std::string(e.what()) + " (" + detail + ")";
}

EFCreateError::EFCreateError(const std::string& fileName)
    : EQuenlo(FormatText(Tr("ファイル %s を作成できません"), fileName.c_str())) {}

}  // namespace quenlo
