// A pass over a whole hex token file that refuses what the reader would not
// take as meant, before anything reaches the target.
#include <cctype>
#include <cstdarg>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "image/hex_token_reader.h"

bool setImageFault(HexFileFault* fault, int line, const char* format, ...) {
  fault->line = line;
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(fault->message, sizeof fault->message, format, arguments);
  va_end(arguments);
  return false;
}

namespace {

constexpr size_t TokenShown = 24;
// No number needs more: eight digits with "0x" and a lavish run of leading
// zeros.
constexpr size_t TokenLimit = 64;

struct Token {
  char text[TokenShown + 1];  // as much of it as a message shows
  size_t length;
  int line;
  int badChar;  // first character that is neither a digit nor the prefix, or -1
  int significantDigits;
  int digits;
  uint32_t value;
};

int nextChar(ImageSource* source) {
  return source->position < source->size ? source->bytes[source->position++] : EOF;
}

// Reads the next token, skipping separators and counting lines. 0 at the end.
int nextToken(ImageSource* source, int* line, Token* token) {
  int c = nextChar(source);
  while (c != EOF && isTokenSeparator(c)) {
    if (c == '\n') ++*line;
    c = nextChar(source);
  }
  if (c == EOF) return 0;
  memset(token, 0, sizeof *token);
  token->line = *line;
  token->badChar = -1;
  size_t index = 0;
  while (c != EOF && !isTokenSeparator(c)) {
    if (token->length < TokenShown) token->text[token->length] = static_cast<char>(c);
    ++token->length;
    bool prefix = index == 1 && (c == 'x' || c == 'X') && token->text[0] == '0';
    int digit = hexDigitValue(c);
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
    c = nextChar(source);
  }
  if (c == '\n') --source->position;
  return 1;
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
  if (token.length > TokenLimit) {
    snprintf(fault->message, sizeof fault->message,
             "\"%s\" is longer than %zu characters, longer than any number", shown, TokenLimit);
  } else if (token.badChar >= 0 && token.digits > 0 && ispunct(token.badChar)) {
    snprintf(fault->message, sizeof fault->message,
             "'%c' in \"%s\": tokens must be separated by blanks, tabs or line ends", token.badChar,
             shown);
  } else if (token.badChar >= 0 || token.digits == 0) {
    snprintf(fault->message, sizeof fault->message, "\"%s\" is not a hexadecimal number", shown);
  } else {
    snprintf(fault->message, sizeof fault->message, "\"%s\" does not fit in 32 bits", shown);
  }
}

// What the check knows between two tokens.
struct CheckState {
  bool positionKnown = false;   // data before the first address has no fixed place
  uint64_t position = 0;        // address of the next data byte, as the tokens say
  bool addressPending = false;  // an address token still waiting for its data
  uint32_t pendingAddress = 0;
  int pendingLine = 0;
  // Where the reader puts the next byte: the base of its record, the bytes in
  // it, and its byte cursor, which names the base of the record after a full
  // one.
  uint32_t recordBase = 0;
  uint32_t recordBytes = 0;
  uint32_t byteCursor = 0;
  size_t dataBytes = 0;
  uint32_t runAddress = 0;  // where the previous file left off
};

bool takeDataToken(CheckState* state, const Token& token, HexFileFault* fault) {
  if (!state->positionKnown) {
    // Data before any address is placed where the previous file left off.
    state->positionKnown = true;
    state->position = state->runAddress;
  }
  if (state->position >= AddressSpaceEnd) {
    return setImageFault(fault, token.line, "the data runs past address 0xFFFFFFFF");
  }
  if (state->recordBase + state->recordBytes != state->position) {
    // Only data before the first address can come apart: the reader
    // continues it after a full block from its byte cursor, which the
    // previous file left elsewhere.
    return setImageFault(fault, token.line,
                         "the data before the first address would continue at %" PRIX32
                         " instead of %" PRIX32
                         " after the previous file; begin the file with an address",
                         static_cast<uint32_t>(state->recordBase + state->recordBytes),
                         static_cast<uint32_t>(state->position));
  }
  ++state->position;
  ++state->dataBytes;
  ++state->byteCursor;
  if (++state->recordBytes == BlockDataSize) {
    state->recordBase = state->byteCursor;
    state->recordBytes = 0;
  }
  state->addressPending = false;
  return true;
}

bool takeAddressToken(CheckState* state, const Token& token, HexFileFault* fault) {
  if (state->addressPending) {
    return setImageFault(fault, state->pendingLine,
                         "address %" PRIX32 " has no data before the next address %" PRIX32,
                         state->pendingAddress, token.value);
  }
  if (state->positionKnown && token.value < state->position) {
    return setImageFault(fault, token.line,
                         "address %" PRIX32 " lies below %" PRIX32
                         ", where the data before it ended",
                         token.value, static_cast<uint32_t>(state->position));
  }
  if (state->recordBytes == 0 || token.value > state->position) {
    // A new record starts at the address; a contiguous one goes on filling
    // the record.
    state->recordBase = token.value;
    state->recordBytes = 0;
    state->byteCursor = token.value;
  }
  state->positionKnown = true;
  state->position = token.value;
  state->addressPending = true;
  state->pendingAddress = token.value;
  state->pendingLine = token.line;
  return true;
}

}  // namespace

const char* const NoDataText = "The selected HEX file holds no data.";

int checkHexTokenFile(const ImageSnapshot& image, ReaderCursors cursors, HexFileFault* fault) {
  memset(fault, 0, sizeof *fault);
  ImageSource source = imageSource(image);
  int line = 1;
  CheckState state;
  state.runAddress = cursors.runAddress;
  state.recordBase = cursors.runAddress;
  state.byteCursor = cursors.byteAddress;
  Token token;
  while (nextToken(&source, &line, &token)) {
    if (token.length > TokenLimit || token.badChar >= 0 || token.digits == 0 ||
        token.significantDigits > 8) {
      refuseToken(fault, token);
      return 0;
    }
    const bool taken = token.value < FirstAddressToken ? takeDataToken(&state, token, fault)
                                                       : takeAddressToken(&state, token, fault);
    if (!taken) return 0;
  }
  if (state.addressPending) {
    setImageFault(fault, state.pendingLine,
                  "address %" PRIX32 " at the end of the file has no data", state.pendingAddress);
    return 0;
  }
  if (state.dataBytes == 0) {
    fault->line = 0;
    snprintf(fault->message, sizeof fault->message, "%s", NoDataText);
    return 0;
  }
  return 1;
}
