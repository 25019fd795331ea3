// Data files on the token: the global information file and the numbered
// user data files.
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "data_io.h"
#include "pin_generation.h"
#include "module_files.h"
#include "tool_errors.h"

namespace pelu7tool {
namespace {

constexpr std::int64_t kMaxFileSize = 0xFFFF;
// A user data file carries a 2-byte header in front of the caller's data.
constexpr std::int64_t kMaxUserFileSize = kMaxFileSize - 2;
// Numbers from 0x200 on would name files of another type or the token's own files.
constexpr std::int64_t kMaxFileNumber = 0x1FF;
constexpr OptionSpec kOffsetOption[] = {{"offset", true}};
constexpr OptionSpec kLengthOption[] = {{"length", true}};
constexpr OptionSpec kClassOptions[] = {{"read", true}, {"write", true}};

int offsetOption(const ParsedArgs& args) {
  const auto offset = args.value("offset");
  return offset ? static_cast<int>(parseNumber(*offset, "--offset", 0, kMaxFileSize)) : 0;
}

Bytes bufferOfLength(const ParsedArgs& args) {
  const auto length = args.value("length");
  if (!length) throw UsageError("read needs --length L");
  return Bytes(static_cast<std::size_t>(parseNumber(*length, "--length", 0, kMaxFileSize)));
}

// Access class 0 (anybody), 1 (user) or 2 (super user), by name or number.
int accessClass(const ParsedArgs& args, std::string_view option, int fallback) {
  const auto text = args.value(option);
  if (!text) return fallback;
  if (*text == "free" || *text == "0") return 0;
  if (*text == "user" || *text == "1") return 1;
  if (*text == "so" || *text == "2") return 2;
  throw UsageError("--" + std::string(option) + " takes free, user or so (or 0, 1, 2), not '" + *text + "'");
}

Bytes dataToWrite(const ParsedArgs& args) {
  Bytes data = readInput(args);
  if (data.size() > static_cast<std::size_t>(kMaxFileSize)) throw UsageError("the data is longer than a file can be");
  return data;
}

void reportWritten(std::size_t length, int offset) {
  std::cout << length << " bytes written at offset " << offset << "\n";
}

int infoCreate(const ParsedArgs& args, Session& session) {
  args.expectPositionals(1, 1);
  const auto size = static_cast<int>(parseNumber(args.positional(0, "SIZE"), "SIZE", 1, kMaxFileSize));
  loginIfAsked(args, session);
  session.open();
  check(VORN_DAL_CreateGlobalInfoFile(size), "create the global information file");
  std::cout << "global information file created, " << size << " bytes\n";
  return kExitOk;
}

int infoRead(const ParsedArgs& args, Session& session) {
  args.expectPositionals(0, 0);
  const int offset = offsetOption(args);
  Bytes data = bufferOfLength(args);
  loginIfAsked(args, session);
  session.open();
  check(VORN_DAL_ReadGlobalInfoFile(offset, static_cast<int>(data.size()), data.data()),
        "read the global information file");
  writeOutput(args, data);
  return kExitOk;
}

int infoWrite(const ParsedArgs& args, Session& session) {
  args.expectPositionals(0, 0);
  const int offset = offsetOption(args);
  const Bytes data = dataToWrite(args);
  loginIfAsked(args, session);
  session.open();
  check(VORN_DAL_WriteGlobalInfoFile(offset, static_cast<int>(data.size()), data.data()),
        "write the global information file");
  reportWritten(data.size(), offset);
  return kExitOk;
}

struct FileName {
  int type;
  int number;
};

FileName fileName(const ParsedArgs& args) {
  return {static_cast<int>(parseNumber(args.positional(0, "TYPE"), "TYPE", 1, 3)),
          static_cast<int>(parseNumber(args.positional(1, "NUMBER"), "NUMBER", 0, kMaxFileNumber))};
}

int fileCreate(const ParsedArgs& args, Session& session) {
  args.expectPositionals(3, 3);
  const FileName file = fileName(args);
  const auto size = static_cast<int>(parseNumber(args.positional(2, "SIZE"), "SIZE", 0, kMaxUserFileSize));
  const int readClass = accessClass(args, "read", 0);
  const int writeClass = accessClass(args, "write", 1);
  loginIfAsked(args, session);
  session.open();
  const bool forced = guardModuleFile(args, file.type, file.number);
  if (forced) moveModuleCounter();
  check(VORN_DAL_CreateUsrDataFile(file.type, file.number, size, readClass, writeClass), "create file");
  noteFileChange(file.type, file.number);
  if (forced) moveModuleCounter();
  std::cout << "file " << file.type << "/" << file.number << " created, " << size << " bytes\n";
  return kExitOk;
}

int fileRead(const ParsedArgs& args, Session& session) {
  args.expectPositionals(2, 2);
  const FileName file = fileName(args);
  const int offset = offsetOption(args);
  Bytes data = bufferOfLength(args);
  loginIfAsked(args, session);
  session.open();
  check(VORN_DAL_ReadUsrDataFile(file.type, file.number, offset, static_cast<int>(data.size()), data.data()),
        "read file");
  writeOutput(args, data);
  return kExitOk;
}

int fileWrite(const ParsedArgs& args, Session& session) {
  args.expectPositionals(2, 2);
  const FileName file = fileName(args);
  const int offset = offsetOption(args);
  const Bytes data = dataToWrite(args);
  loginIfAsked(args, session);
  session.open();
  const bool forced = guardModuleFile(args, file.type, file.number);
  if (forced) moveModuleCounter();
  check(VORN_DAL_WriteUsrDataFile(file.type, file.number, offset, static_cast<int>(data.size()), data.data()),
        "write file");
  noteFileChange(file.type, file.number);
  if (forced) moveModuleCounter();
  reportWritten(data.size(), offset);
  return kExitOk;
}

int fileDelete(const ParsedArgs& args, Session& session) {
  args.expectPositionals(2, 2);
  const FileName file = fileName(args);
  loginIfAsked(args, session);
  session.open();
  const bool forced = guardModuleFile(args, file.type, file.number);
  if (forced) moveModuleCounter();
  check(VORN_DAL_DeleteUsrDataFile(file.type, file.number), "delete file");
  noteFileChange(file.type, file.number);
  if (forced) moveModuleCounter();
  std::cout << "file " << file.type << "/" << file.number << " deleted\n";
  return kExitOk;
}

constexpr const char* kFileNaming = "TYPE is 1, 2 or 3 and NUMBER 0 to 511.\n";
constexpr const char* kReadDetails = "Raw bytes to stdout or --out FILE; hex with --hex.\n";
constexpr const char* kWriteDetails = "The data comes from --in FILE (- for stdin, the default) or --in-hex HEX.\n";

}  // namespace

void addFileCommands(std::vector<Command>& commands) {
  commands.push_back({"info-file", "create", "SIZE [--login user|so]", "create the global information file", "",
                      optionList({kLoginOptions}), infoCreate});
  commands.push_back({"info-file", "read", "--length L [--offset O] [--hex] [--out FILE]",
                      "read the global information file (anybody may)", kReadDetails,
                      optionList({kOffsetOption, kLengthOption, kOutputOptions, kLoginOptions}), infoRead});
  commands.push_back({"info-file", "write", "[--offset O] [--in FILE|--in-hex HEX] [--login user]",
                      "write the global information file (needs the user login)", kWriteDetails,
                      optionList({kOffsetOption, kInputOptions, kLoginOptions}), infoWrite});
  commands.push_back({"file", "create", "TYPE NUMBER SIZE [--read C] [--write C] [--force] [--login user|so]",
                      "create a user data file",
                      "TYPE is 1, 2 or 3 and NUMBER 0 to 511. The access classes C for reading and\n"
                      "writing are free (0), user (1) or so (2); by default free to read, user to write.\n"
                      "Files 3/255 to 3/511 belong to the PKCS#11 module (libpelu7-pkcs11.so) on a token\n"
                      "that carries its files: they are changed only with --force, which also moves the\n"
                      "module's change counter so that running programs read the token again.\n",
                      optionList({kClassOptions, kForceOption, kLoginOptions}), fileCreate});
  commands.push_back({"file", "read", "TYPE NUMBER --length L [--offset O] [--hex] [--out FILE]",
                      "read a user data file", std::string_view(kFileNaming),
                      optionList({kOffsetOption, kLengthOption, kOutputOptions, kLoginOptions}), fileRead});
  commands.push_back({"file", "write", "TYPE NUMBER [--offset O] [--in FILE|--in-hex HEX] [--force] [--login user|so]",
                      "write a user data file",
                      "The data comes from --in FILE (- for stdin, the default) or --in-hex HEX.\n"
                      "Files 3/255 to 3/511 belong to the PKCS#11 module (libpelu7-pkcs11.so) on a token\n"
                      "that carries its files: they are changed only with --force, which also moves the\n"
                      "module's change counter so that running programs read the token again.\n",
                      optionList({kOffsetOption, kInputOptions, kForceOption, kLoginOptions}), fileWrite});
  commands.push_back({"file", "delete", "TYPE NUMBER [--force] [--login user|so]", "mark a user data file deleted",
                      "The file's number stays taken until the next format.\n"
                      "Files 3/255 to 3/511 belong to the PKCS#11 module (libpelu7-pkcs11.so) on a token\n"
                      "that carries its files: they are changed only with --force, which also moves the\n"
                      "module's change counter so that running programs read the token again.\n",
                      optionList({kForceOption, kLoginOptions}), fileDelete});
}

}  // namespace pelu7tool
