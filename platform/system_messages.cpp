#include "platform/system_messages.h"

namespace {

struct SystemMessage {
  std::uint32_t number;
  const char* text;
};

constexpr SystemMessage systemMessages[] = {
    // Windows error numbers.
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory is available to process this command."},
    {58, "The server returned an unexpected network response."},
    {87, "The parameter is incorrect."},
    {1225, "The remote computer refused the network connection."},
    // Winsock error numbers.
    {10004, "A blocking operation was interrupted."},
    {10009, "The socket handle is not valid."},
    {10013, "Permission to use the socket was denied."},
    {10014, "An invalid address was passed to a socket call."},
    {10022, "An invalid argument was supplied."},
    {10024, "Too many open sockets."},
    {10035, "A non-blocking socket operation could not be completed immediately."},
    {10036, "A blocking operation is currently executing."},
    {10037, "An operation is already in progress on this socket."},
    {10038, "The operation was attempted on something that is not a socket."},
    {10039, "A destination address is required."},
    {10040, "The message is larger than the socket buffer."},
    {10041, "The protocol is the wrong type for this socket."},
    {10042, "The protocol option is not known or not supported."},
    {10043, "The protocol is not supported."},
    {10044, "The socket type is not supported in this address family."},
    {10045, "The operation is not supported for this type of socket."},
    {10046, "The protocol family is not supported."},
    {10047, "The address family is not supported by the protocol."},
    {10048, "The local address is already in use."},
    {10049, "The requested address is not valid in its context."},
    {10050, "The network is down."},
    {10051, "The network cannot be reached."},
    {10052, "The connection was broken because of a network reset."},
    {10053, "The connection was aborted by this host."},
    {10054, "The connection was closed by the remote host."},
    {10055, "No buffer space is available for the socket."},
    {10056, "The socket is already connected."},
    {10057, "The socket is not connected."},
    {10058, "The socket has already been shut down."},
    {10059, "Too many references to a kernel object."},
    {10060, "The connection attempt timed out because the remote host did not respond."},
    {10061, "The connection was refused by the remote host."},
    {10062, "Too many levels of symbolic links."},
    {10063, "The name is too long."},
    {10064, "The remote host is down."},
    {10065, "No route to the remote host."},
    {10107, "A system call that should never fail has failed."},
    {10109, "The service is not known to the resolver."},
    {11001, "The host name is not known."},
    {11002, "The host name could not be resolved now; try again later."},
    {11003, "The name server reported an unrecoverable error."},
    {11004, "The host name has no address of the requested type."},
    // Security statuses of the NTLM client.
    {0x80090300, "Not enough memory is available to complete the security request."},
    {0x80090301, "The security handle is not valid."},
    {0x80090302, "The security function is not supported."},
    {0x80090303, "The security target is unknown or cannot be reached."},
    {0x80090304, "The security authority cannot be contacted."},
    {0x80090305, "The requested security package does not exist."},
    {0x80090308, "The security token is not valid."},
    {0x8009030C, "The logon attempt failed."},
    {0x8009030D, "The credentials supplied to the security package are not known."},
    {0x8009030E, "No credentials are available in the security package."},
    {0x8009030F, "The security message has been altered."},
    {0x80090311, "No authority could be contacted for authentication."},
    {0x80090317, "The security context has expired and can no longer be used."},
    {0x80090321, "The buffer supplied to the security function is too small."},
};

}  // namespace

std::string SystemMessageText(std::uint32_t number) {
  for (const SystemMessage& m : systemMessages) {
    if (m.number == number) return m.text;
  }
  return {};
}
