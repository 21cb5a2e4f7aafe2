// The Telnet stream of a network serial port: what goes in comes out, however
// it is cut, and a hostile peer costs bounded memory and no endless echo.
#include <gtest/gtest.h>

#include <vector>

#include "link/telnet_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Parsed {
  Bytes data;
  std::vector<TelnetEvent> events;
};

Parsed feed(const Bytes& bytes, size_t piece) {
  TelnetParser parser;
  Parsed out;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    const size_t n = std::min(piece, bytes.size() - at);
    telnetFeed(&parser, bytes.data() + at, n, &out.data, &out.events);
  }
  return out;
}

// Every byte value, 0xFF runs among them, commands between the data, each
// cut at every place: the data and the events come out the same.
TEST(TelnetCodec, DataAndCommandsSurviveEscapingAndAnyCut) {
  Bytes data;
  for (int i = 0; i < 256; ++i) data.push_back(uint8_t(i));
  data.insert(data.end(), {0xFF, 0xFF, 0xFF, 0x9C, 0xFF});
  Bytes wire;
  telnetEscape(data.data(), 100, &wire);
  telnetNegotiate(TelnetWILL, TelnetOptionBinary, &wire);
  comPortCommand(ComPortSetBaudRate, 0xFF00FFFF, 4, &wire);  // the value needs escaping too
  wire.insert(wire.end(), {TelnetIAC, TelnetNOP});
  telnetEscape(data.data() + 100, data.size() - 100, &wire);
  EXPECT_EQ(wire.size(), data.size() + 5 + 3 + (10 + 3) + 2);  // each 0xFF doubled

  for (size_t piece : {size_t(1), size_t(2), size_t(3), size_t(7), wire.size()}) {
    SCOPED_TRACE(piece);
    const Parsed p = feed(wire, piece);
    EXPECT_EQ(p.data, data);
    ASSERT_EQ(p.events.size(), 3u);
    EXPECT_EQ(p.events[0].kind, TelnetEventKind::Negotiation);
    EXPECT_EQ(p.events[0].verb, TelnetWILL);
    EXPECT_EQ(p.events[0].option, TelnetOptionBinary);
    EXPECT_EQ(p.events[1].kind, TelnetEventKind::Subnegotiation);
    EXPECT_EQ(p.events[1].option, TelnetOptionComPort);
    EXPECT_EQ(p.events[1].payload, Bytes({ComPortSetBaudRate, 0xFF, 0x00, 0xFF, 0xFF}));
    EXPECT_EQ(comPortValue(p.events[1].payload), 0xFF00FFFFu);
    EXPECT_FALSE(p.events[1].truncated);
    EXPECT_EQ(p.events[2].kind, TelnetEventKind::Command);
    EXPECT_EQ(p.events[2].verb, TelnetNOP);
  }
}

// An endless sub-negotiation keeps TelnetSubMax bytes and is marked; a flood
// of IAC bytes is data, two for one; the stream goes on intact after both.
TEST(TelnetCodec, HostileStreamsCostBoundedMemory) {
  Bytes wire = {TelnetIAC, TelnetSB, TelnetOptionComPort};
  wire.insert(wire.end(), 100000, 0x41);
  wire.insert(wire.end(), {TelnetIAC, TelnetSE, 'o', 'k'});
  TelnetParser parser;
  Parsed p;
  telnetFeed(&parser, wire.data(), wire.size(), &p.data, &p.events);
  ASSERT_EQ(p.events.size(), 1u);
  EXPECT_TRUE(p.events[0].truncated);
  EXPECT_EQ(p.events[0].payload.size(), TelnetSubMax);
  EXPECT_LE(parser.sub.capacity(), 4 * TelnetSubMax);
  EXPECT_EQ(p.data, Bytes({'o', 'k'}));

  Bytes flood(20001, TelnetIAC);
  flood.push_back(TelnetNOP);
  const Parsed f = feed(flood, 4096);
  EXPECT_EQ(f.data, Bytes(10000, 0xFF));
  ASSERT_EQ(f.events.size(), 1u);
  EXPECT_EQ(f.events[0].verb, TelnetNOP);
}

// Two ends agree on BINARY both ways and COM-PORT in a few rounds; a peer
// that repeats itself, or offers what is refused, gets no echo of an echo.
TEST(TelnetCodec, NegotiationSettlesAndDoesNotLoop) {
  TelnetOptions client, server;
  client.mine[TelnetOptionBinary] = client.mine[TelnetOptionComPort] = true;
  client.theirs[TelnetOptionBinary] = true;
  server.mine[TelnetOptionBinary] = true;
  server.theirs[TelnetOptionBinary] = server.theirs[TelnetOptionComPort] = true;
  Bytes toServer, toClient;
  telnetAsk(&client, TelnetWILL, TelnetOptionBinary, &toServer);
  telnetAsk(&client, TelnetDO, TelnetOptionBinary, &toServer);
  telnetAsk(&client, TelnetWILL, TelnetOptionComPort, &toServer);
  telnetAsk(&server, TelnetDO, TelnetOptionBinary, &toClient);  // crosses the client's WILL
  int rounds = 0;
  while ((!toServer.empty() || !toClient.empty()) && rounds++ < 10) {
    Parsed atServer = feed(toServer, toServer.size()), atClient = feed(toClient, toClient.size());
    toServer.clear();
    toClient.clear();
    for (const TelnetEvent& e : atServer.events) telnetAnswer(&server, e.verb, e.option, &toClient);
    for (const TelnetEvent& e : atClient.events) telnetAnswer(&client, e.verb, e.option, &toServer);
  }
  EXPECT_LE(rounds, 3);
  EXPECT_TRUE(server.remoteOn[TelnetOptionComPort] && server.remoteOn[TelnetOptionBinary]);
  EXPECT_TRUE(server.localOn[TelnetOptionBinary] && client.remoteOn[TelnetOptionBinary]);
  EXPECT_TRUE(client.localOn[TelnetOptionComPort] && client.localOn[TelnetOptionBinary]);

  Bytes out;
  for (int i = 0; i < 1000; ++i) telnetAnswer(&server, TelnetWILL, TelnetOptionComPort, &out);
  EXPECT_TRUE(out.empty());
  telnetAnswer(&server, TelnetDO, TelnetOptionComPort, &out);  // not ours to offer: refused
  EXPECT_EQ(out, Bytes({TelnetIAC, TelnetWONT, TelnetOptionComPort}));
}

}  // namespace
