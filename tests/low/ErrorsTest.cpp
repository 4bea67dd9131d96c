#include "low/Errors.h"

#include <cerrno>
#include <gtest/gtest.h>

using namespace quenlo;

TEST(EInOutError, SystemErrorsGetTheRunTimesTextOrATruthfulOne) {
    EXPECT_EQ(EInOutError::FromErrno(ENOENT).Code(), 2);
    EXPECT_STREQ(EInOutError::FromErrno(EACCES).what(), "ファイルへのアクセスが拒否されました");
    // EIO is errno 5, which is not the run-time's 5.
    const EInOutError eio = EInOutError::FromErrno(EIO);
    EXPECT_STREQ(eio.what(), "I/O エラー (5): Input/output error");
    EXPECT_STREQ(EInOutError::FromErrno(EFBIG).what(), "I/O エラー (27): File too large");
}
