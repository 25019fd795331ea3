// The messages are checked against UTF-8 texts converted to GBK with iconv at
// test time, an encoder independent of the library's stored bytes.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <string>

#include "vorn_dal_pelu7.h"

namespace {

std::string toGbk(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string in = utf8;
  char out[128] = {};
  char* inPtr = in.data();
  char* outPtr = out;
  size_t inLeft = in.size(), outLeft = sizeof out;
  EXPECT_NE(iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft), static_cast<size_t>(-1));
  iconv_close(cd);
  return std::string(out, sizeof out - outLeft);
}

std::string messageOf(int code) {
  char buffer[64];
  std::memset(buffer, 0x5A, sizeof buffer);
  VORN_DAL_GetErrMsg(code, buffer);
  EXPECT_NE(std::memchr(buffer, 0, sizeof buffer), nullptr);
  return buffer;
}

struct Expected {
  int code;
  const char* utf8;
  size_t bytesWithTerminator;
};

// Printed by code: the default printer would read the struct's padding bytes.
void PrintTo(const Expected& e, std::ostream* os) { *os << e.code; }

class ErrorMessage : public ::testing::TestWithParam<Expected> {};

TEST_P(ErrorMessage, IsTheGbkTextOfTheCode) {
  const Expected& e = GetParam();
  const std::string message = messageOf(e.code);
  EXPECT_EQ(message, toGbk(e.utf8));
  EXPECT_EQ(message.size() + 1, e.bytesWithTerminator);
}

INSTANTIATE_TEST_SUITE_P(
    AllCodes, ErrorMessage,
    ::testing::Values(
        Expected{-1, "用户PIN码已锁", 14}, Expected{-2, "超级PIN已锁", 12}, Expected{-10, "此功能不支持", 13},
        Expected{-100, "没有指定的设备", 15}, Expected{-101, "打开设备错", 11}, Expected{-102, "设备复位错", 11},
        Expected{-105, "其它错误", 9}, Expected{-110, "解锁USER PIN时校检SUP PIN失败", 30},
        Expected{-111, "校验PIN失败", 12}, Expected{-112, "解锁PIN失败", 12}, Expected{-113, "修改PIN失败", 12},
        Expected{-114, "登录失败", 9}, Expected{-115, "退出登录失败", 13}, Expected{-120, "清除设备格式失败", 17},
        Expected{-121, "验证厂商授权码出错", 19}, Expected{-122, "写文件失败", 11},
        Expected{-123, "创建文件失败", 13}, Expected{-124, "创建KEY文件失败", 16},
        Expected{-125, "写KEY文件失败", 14}, Expected{-126, "写PIN失败", 10}, Expected{-127, "写文件失败", 11},
        Expected{-128, "读文件失败", 11}, Expected{-129, "指定的文件已删除", 17},
        Expected{-130, "删除文件失败", 13}, Expected{-150, "模长不支持", 11},
        Expected{-151, "产生密钥对错误", 15}, Expected{-160, "数据长度错误", 13},
        Expected{-161, "RSA运算出错", 12}, Expected{-162, "创建对称密钥对象失败", 21},
        Expected{-163, "密码运算模式不支持", 19}, Expected{-164, "密文内容不正确", 15},
        Expected{-165, "SSF运算出错", 12}, Expected{-180, "产生随机数失败", 15},
        Expected{-190, "创建同步对象失败", 17}, Expected{-191, "同步操作失败", 13}, Expected{-500, "参数错误", 9},
        // Tries left: one digit gives 29 bytes with the terminator, two digits 30.
        Expected{1, "PIN码不正确，还有1次重试机会", 29}, Expected{3, "PIN码不正确，还有3次重试机会", 29},
        Expected{14, "PIN码不正确，还有14次重试机会", 30},
        // Anything else, status words included, is unknown.
        Expected{0, "未知的错误", 11}, Expected{15, "未知的错误", 11}, Expected{-200, "未知的错误", 11},
        Expected{0x9000, "未知的错误", 11}, Expected{-3, "未知的错误", 11}, Expected{-2147483647 - 1, "未知的错误", 11}));

TEST(ErrorMessages, TwoFileWriteCodesShareOneText) { EXPECT_EQ(messageOf(-122), messageOf(-127)); }

}  // namespace
