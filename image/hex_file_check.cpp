// A pass over a whole hex token file that refuses what the reader would not
// take as meant, before anything reaches the target.
#include <cctype>
#include <cstdarg>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "image/hex_token_reader.h"

namespace {

constexpr uint32_t FirstAddress = 0x100;
constexpr uint64_t AddressSpaceEnd = 0x100000000ull;
constexpr size_t TokenShown = 24;

bool isSeparator(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

int hexDigit(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct Token {
  char text[TokenShown + 1];  // as much of it as a message shows
  size_t length;
  int line;
  int badChar;  // first character that is neither a digit nor the prefix, or -1
  int significantDigits;
  int digits;
  uint32_t value;
};

// Reads the next token, skipping separators and counting lines. 0 at the end.
int nextToken(FILE* file, int* line, Token* token) {
  int c = fgetc(file);
  while (c != EOF && isSeparator(c)) {
    if (c == '\n') ++*line;
    c = fgetc(file);
  }
  if (c == EOF) return 0;
  memset(token, 0, sizeof *token);
  token->line = *line;
  token->badChar = -1;
  size_t index = 0;
  while (c != EOF && !isSeparator(c)) {
    if (token->length < TokenShown) token->text[token->length] = static_cast<char>(c);
    ++token->length;
    bool prefix = index == 1 && (c == 'x' || c == 'X') && token->text[0] == '0';
    int digit = hexDigit(c);
    if (prefix) {
      token->digits = 0;
      token->significantDigits = 0;
    } else if (digit >= 0 && token->badChar < 0) {
      ++token->digits;
      if (token->significantDigits > 0 || digit != 0) ++token->significantDigits;
      token->value = (token->value << 4) | static_cast<uint32_t>(digit);
    } else if (token->badChar < 0) {
      token->badChar = c;
    }
    ++index;
    c = fgetc(file);
  }
  if (c == '\n') ungetc(c, file);
  return 1;
}

__attribute__((format(printf, 3, 4))) void refuse(HexFileFault* fault, int line, const char* format,
                                                  ...) {
  fault->line = line;
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(fault->message, sizeof fault->message, format, arguments);
  va_end(arguments);
}

void refuseToken(HexFileFault* fault, const Token& token) {
  const char* ellipsis = token.length > TokenShown ? "..." : "";
  char shown[TokenShown + 8];
  // Show the token printable only.
  size_t n = 0;
  for (size_t i = 0; i < token.length && i < TokenShown; ++i) {
    unsigned char c = static_cast<unsigned char>(token.text[i]);
    shown[n++] = isprint(c) ? static_cast<char>(c) : '?';
  }
  snprintf(shown + n, sizeof shown - n, "%s", ellipsis);
  fault->line = token.line;
  if (token.badChar >= 0 && token.digits > 0 && ispunct(token.badChar)) {
    snprintf(fault->message, sizeof fault->message,
             "'%c' in \"%s\": tokens must be separated by blanks, tabs or line ends", token.badChar,
             shown);
  } else if (token.badChar >= 0 || token.digits == 0) {
    snprintf(fault->message, sizeof fault->message, "\"%s\" is not a hexadecimal number", shown);
  } else {
    snprintf(fault->message, sizeof fault->message, "\"%s\" does not fit in 32 bits", shown);
  }
}

}  // namespace

int checkHexTokenFile(FILE* file, HexFileFault* fault) {
  memset(fault, 0, sizeof *fault);
  fseek(file, 0, SEEK_SET);
  clearerr(file);

  int line = 1;
  bool positionKnown = false;   // data before the first address has no fixed place
  uint64_t position = 0;        // address of the next data byte
  bool addressPending = false;  // an address token still waiting for its data
  uint32_t pendingAddress = 0;
  int pendingLine = 0;
  int ok = 1;
  Token token;

  while (ok && nextToken(file, &line, &token)) {
    if (token.badChar >= 0 || token.digits == 0 || token.significantDigits > 8) {
      refuseToken(fault, token);
      ok = 0;
    } else if (token.value < FirstAddress) {
      if (!positionKnown) {
        // Data before any address is placed where the previous file left off.
        positionKnown = true;
        position = runAddress;
      }
      if (position >= AddressSpaceEnd) {
        refuse(fault, token.line, "the data runs past address 0xFFFFFFFF");
        ok = 0;
      }
      ++position;
      addressPending = false;
    } else if (addressPending) {
      refuse(fault, pendingLine, "address %" PRIX32 " has no data before the next address %" PRIX32,
             pendingAddress, token.value);
      ok = 0;
    } else if (positionKnown && token.value < position) {
      refuse(fault, token.line,
             "address %" PRIX32 " lies below %" PRIX32 ", where the data before it ended",
             token.value, static_cast<uint32_t>(position));
      ok = 0;
    } else {
      positionKnown = true;
      position = token.value;
      addressPending = true;
      pendingAddress = token.value;
      pendingLine = token.line;
    }
  }
  if (ok && addressPending) {
    refuse(fault, pendingLine, "address %" PRIX32 " at the end of the file has no data",
           pendingAddress);
    ok = 0;
  }
  fseek(file, 0, SEEK_SET);
  clearerr(file);
  return ok;
}
