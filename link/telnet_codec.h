// The Telnet byte stream of a network serial port, and its COM-PORT option
// (the control of a remote serial port: baud rate, framing, control lines,
// purges). Portable: bytes in, bytes and events out, no input or output of
// its own, for both ends of such a link.
//
// Reading: telnetFeed splits what came into data bytes (a doubled 0xFF is one
// data byte) and events: an option negotiation (WILL/WONT/DO/DONT), a
// sub-negotiation with its payload, or another command (NOP, BREAK, ...).
// The parser keeps its state between calls, so a sequence may be split
// anywhere. A sub-negotiation longer than TelnetSubMax keeps its first
// TelnetSubMax bytes and is marked truncated; memory never grows beyond that.
// Writing: telnetEscape doubles 0xFF; the builders append whole commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum : uint8_t {
  TelnetSE = 240,
  TelnetNOP = 241,
  TelnetSB = 250,
  TelnetWILL = 251,
  TelnetWONT = 252,
  TelnetDO = 253,
  TelnetDONT = 254,
  TelnetIAC = 255,
};

enum : uint8_t {
  TelnetOptionBinary = 0,
  TelnetOptionSuppressGoAhead = 3,
  TelnetOptionComPort = 44,
};

// COM-PORT commands as the client sends them; the server answers each with
// the same code plus ComPortServerOffset.
enum : uint8_t {
  ComPortSignature = 0,
  ComPortSetBaudRate = 1,
  ComPortSetDataSize = 2,
  ComPortSetParity = 3,
  ComPortSetStopSize = 4,
  ComPortSetControl = 5,
  ComPortNotifyLineState = 6,
  ComPortNotifyModemState = 7,
  ComPortFlowSuspend = 8,
  ComPortFlowResume = 9,
  ComPortSetLineStateMask = 10,
  ComPortSetModemStateMask = 11,
  ComPortPurgeData = 12,
  ComPortServerOffset = 100,
};

// Values of SET-CONTROL.
enum : uint8_t {
  ComPortControlNoFlow = 1,
  ComPortControlDtrOn = 8,
  ComPortControlDtrOff = 9,
  ComPortControlRtsOn = 11,
  ComPortControlRtsOff = 12,
};

// Values of PURGE-DATA: what the server received from its serial line and
// holds for the client, what it holds from the client to send on that line,
// or both.
enum : uint8_t {
  ComPortPurgeReceived = 1,
  ComPortPurgeToSend = 2,
  ComPortPurgeBoth = 3,
};

constexpr size_t TelnetSubMax = 64;

enum class TelnetEventKind : uint8_t { Negotiation, Subnegotiation, Command };

struct TelnetEvent {
  TelnetEventKind kind;
  uint8_t verb;                  // WILL/WONT/DO/DONT for a negotiation, the command otherwise
  uint8_t option;                // for a negotiation or a sub-negotiation
  bool truncated;                // a sub-negotiation longer than TelnetSubMax
  std::vector<uint8_t> payload;  // a sub-negotiation's bytes after its option
};

enum class TelnetState : uint8_t { Data, Iac, Verb, SubOption, Sub, SubIac };

struct TelnetParser {
  TelnetState state = TelnetState::Data;
  uint8_t verb = 0;
  uint8_t subOption = 0;
  bool subTruncated = false;
  std::vector<uint8_t> sub;
};

// Reads `count` bytes: appends the data bytes to *data and the events, in
// order, to *events. At most one event per two bytes read.
void telnetFeed(TelnetParser* parser, const uint8_t* bytes, size_t count,
                std::vector<uint8_t>* data, std::vector<TelnetEvent>* events);

// Appends data bytes with every 0xFF doubled.
void telnetEscape(const uint8_t* bytes, size_t count, std::vector<uint8_t>* out);
// Appends IAC VERB OPTION.
void telnetNegotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>* out);
// Appends IAC SB OPTION PAYLOAD IAC SE, the payload escaped.
void telnetSubnegotiate(uint8_t option, const uint8_t* payload, size_t count,
                        std::vector<uint8_t>* out);
// A COM-PORT command with its value: a number of `width` bytes (1 or 4), most
// significant first, as SET-BAUDRATE and the one-byte settings carry them.
void comPortCommand(uint8_t command, uint32_t value, size_t width, std::vector<uint8_t>* out);
// The value of a COM-PORT sub-negotiation's payload (command, value bytes),
// most significant first; 0 when it carries none.
uint32_t comPortValue(const std::vector<uint8_t>& payload);

// Which options each side has agreed to, and the answers that keep the
// negotiation from looping: an option already in the asked state is not
// answered again, so a peer that repeats itself gets no echo.
struct TelnetOptions {
  bool mine[256] = {};    // options we may enable on our side (WILL)
  bool theirs[256] = {};  // options we let the peer enable (DO)
  bool localOn[256] = {};
  bool remoteOn[256] = {};
  bool localAsked[256] = {};
  bool remoteAsked[256] = {};
};

// Asks for an option: WILL (ours) or DO (theirs), unless already on or asked.
void telnetAsk(TelnetOptions* options, uint8_t verb, uint8_t option, std::vector<uint8_t>* out);
// Answers a negotiation received from the peer.
void telnetAnswer(TelnetOptions* options, uint8_t verb, uint8_t option, std::vector<uint8_t>* out);
