// The handshake that keys a client session and hands it to its game:
//   server hello (id 1): version 1000 and the server's public key;
//   message 1 (id 1): the client's version and public key; the server polls
//     "users" on every game and answers with its key frame (id 2): a 16-byte
//     Blowfish key for server-to-client frames, RSA-enciphered with the
//     client's key;
//   message 2 (id 2): the client's user id, WON id and its own Blowfish key,
//     RSA-enciphered with the server's key; the session is keyed and attached
//     to the first game whose user table lists the player with exactly those
//     ids.  It joins the player later only if the game lists him at the
//     connection's address (see the reconciliation).
// Hello and key frames are 288 bytes and travel plain.  A refused frame stays
// where it is and is offered again with the next read; a session that cannot
// finish ends at the 10-second handshake limit.
//
// The dispatcher itself is Server::dispatchHandshake (server/server.h).  Host
// thread only.
#pragma once

#include <cstdint>

namespace kestrin {

struct GameServer;
struct Server;

// The first game, in configuration order, whose user table lists the
// player with exactly these ids, or null.
GameServer* findGameOfUser(Server& server, std::uint32_t userId, std::uint32_t wonId);
// Queues a "users" poll on every game.
void requestUsersEverywhere(Server& server);

}  // namespace kestrin
