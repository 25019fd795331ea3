// Result codes and their messages, delivered as GBK bytes exactly as stored.
#include <cstdio>
#include <cstring>

#include "vorn_dal_pelu7.h"

namespace pelu7 {
namespace {

struct Message {
  int code;
  const char* text;  // GBK, zero-terminated
};

// clang-format off
constexpr Message kMessages[] = {
    {-1, "\xD3\xC3\xBB\xA7PIN\xC2\xEB\xD2\xD1\xCB\xF8"},                          // 用户PIN码已锁
    {-2, "\xB3\xAC\xBC\xB6PIN\xD2\xD1\xCB\xF8"},                                  // 超级PIN已锁
    {-10, "\xB4\xCB\xB9\xA6\xC4\xDC\xB2\xBB\xD6\xA7\xB3\xD6"},                    // 此功能不支持
    {-100, "\xC3\xBB\xD3\xD0\xD6\xB8\xB6\xA8\xB5\xC4\xC9\xE8\xB1\xB8"},          // 没有指定的设备
    {-101, "\xB4\xF2\xBF\xAA\xC9\xE8\xB1\xB8\xB4\xED"},                          // 打开设备错
    {-102, "\xC9\xE8\xB1\xB8\xB8\xB4\xCE\xBB\xB4\xED"},                          // 设备复位错
    {-105, "\xC6\xE4\xCB\xFC\xB4\xED\xCE\xF3"},                                  // 其它错误
    {-110, "\xBD\xE2\xCB\xF8USER PIN\xCA\xB1\xD0\xA3\xBC\xECSUP PIN\xCA\xA7\xB0\xDC"},  // 解锁USER PIN时校检SUP PIN失败
    {-111, "\xD0\xA3\xD1\xE9PIN\xCA\xA7\xB0\xDC"},                                // 校验PIN失败
    {-112, "\xBD\xE2\xCB\xF8PIN\xCA\xA7\xB0\xDC"},                                // 解锁PIN失败
    {-113, "\xD0\xDE\xB8\xC4PIN\xCA\xA7\xB0\xDC"},                                // 修改PIN失败
    {-114, "\xB5\xC7\xC2\xBC\xCA\xA7\xB0\xDC"},                                  // 登录失败
    {-115, "\xCD\xCB\xB3\xF6\xB5\xC7\xC2\xBC\xCA\xA7\xB0\xDC"},                  // 退出登录失败
    {-120, "\xC7\xE5\xB3\xFD\xC9\xE8\xB1\xB8\xB8\xF1\xCA\xBD\xCA\xA7\xB0\xDC"},  // 清除设备格式失败
    {-121, "\xD1\xE9\xD6\xA4\xB3\xA7\xC9\xCC\xCA\xDA\xC8\xA8\xC2\xEB\xB3\xF6\xB4\xED"},  // 验证厂商授权码出错
    {-122, "\xD0\xB4\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC"},                          // 写文件失败
    {-123, "\xB4\xB4\xBD\xA8\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC"},                  // 创建文件失败
    {-124, "\xB4\xB4\xBD\xA8KEY\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC"},                // 创建KEY文件失败
    {-125, "\xD0\xB4KEY\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC"},                        // 写KEY文件失败
    {-126, "\xD0\xB4PIN\xCA\xA7\xB0\xDC"},                                        // 写PIN失败
    {-127, "\xD0\xB4\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC"},                          // 写文件失败
    {-128, "\xB6\xC1\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC"},                          // 读文件失败
    {-129, "\xD6\xB8\xB6\xA8\xB5\xC4\xCE\xC4\xBC\xFE\xD2\xD1\xC9\xBE\xB3\xFD"},  // 指定的文件已删除
    {-130, "\xC9\xBE\xB3\xFD\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC"},                  // 删除文件失败
    {-150, "\xC4\xA3\xB3\xA4\xB2\xBB\xD6\xA7\xB3\xD6"},                          // 模长不支持
    {-151, "\xB2\xFA\xC9\xFA\xC3\xDC\xD4\xBF\xB6\xD4\xB4\xED\xCE\xF3"},          // 产生密钥对错误
    {-160, "\xCA\xFD\xBE\xDD\xB3\xA4\xB6\xC8\xB4\xED\xCE\xF3"},                  // 数据长度错误
    {-161, "RSA\xD4\xCB\xCB\xE3\xB3\xF6\xB4\xED"},                                // RSA运算出错
    {-162, "\xB4\xB4\xBD\xA8\xB6\xD4\xB3\xC6\xC3\xDC\xD4\xBF\xB6\xD4\xCF\xF3\xCA\xA7\xB0\xDC"},  // 创建对称密钥对象失败
    {-163, "\xC3\xDC\xC2\xEB\xD4\xCB\xCB\xE3\xC4\xA3\xCA\xBD\xB2\xBB\xD6\xA7\xB3\xD6"},  // 密码运算模式不支持
    {-164, "\xC3\xDC\xCE\xC4\xC4\xDA\xC8\xDD\xB2\xBB\xD5\xFD\xC8\xB7"},          // 密文内容不正确
    {-165, "SSF\xD4\xCB\xCB\xE3\xB3\xF6\xB4\xED"},                                // SSF运算出错
    {-180, "\xB2\xFA\xC9\xFA\xCB\xE6\xBB\xFA\xCA\xFD\xCA\xA7\xB0\xDC"},          // 产生随机数失败
    {-190, "\xB4\xB4\xBD\xA8\xCD\xAC\xB2\xBD\xB6\xD4\xCF\xF3\xCA\xA7\xB0\xDC"},  // 创建同步对象失败
    {-191, "\xCD\xAC\xB2\xBD\xB2\xD9\xD7\xF7\xCA\xA7\xB0\xDC"},                  // 同步操作失败
    {-500, "\xB2\xCE\xCA\xFD\xB4\xED\xCE\xF3"},                                  // 参数错误
};
// PIN码不正确，还有%d次重试机会
constexpr const char* kRetryFormat =
    "PIN\xC2\xEB\xB2\xBB\xD5\xFD\xC8\xB7\xA3\xAC\xBB\xB9\xD3\xD0%d\xB4\xCE\xD6\xD8\xCA\xD4\xBB\xFA\xBB\xE1";
// 未知的错误
constexpr const char* kUnknown = "\xCE\xB4\xD6\xAA\xB5\xC4\xB4\xED\xCE\xF3";
// clang-format on

constexpr int kMaxTriesLeft = 14;

}  // namespace
}  // namespace pelu7

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_GetErrMsg(int code, char* msg) {
  using namespace pelu7;
  if (code >= 1 && code <= kMaxTriesLeft) {
    // The longest retry text, with two digits, is 30 bytes with its terminator.
    std::snprintf(msg, VORN_DAL_ERRMSG_SIZE, kRetryFormat, code);
    return 0;
  }
  const char* text = kUnknown;
  for (const Message& m : kMessages) {
    if (m.code == code) {
      text = m.text;
      break;
    }
  }
  std::strcpy(msg, text);
  return 0;
}
