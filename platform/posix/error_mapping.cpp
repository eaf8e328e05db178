#include "platform/posix/error_mapping.h"

#include <cerrno>
#include <netdb.h>

namespace {

struct Mapping {
  int from;
  int to;
};

constexpr int WSASYSCALLFAILURE = 10107;
constexpr int WSANO_RECOVERY = 11003;

constexpr Mapping errnoMappings[] = {
    {EINTR, 10004},           {EBADF, 10009},           {EACCES, 10013},
    {EFAULT, 10014},          {EINVAL, 10022},          {EMFILE, 10024},
    {ENFILE, 10024},          {EWOULDBLOCK, 10035},     {EINPROGRESS, 10036},
    {EALREADY, 10037},        {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},        {ENETUNREACH, 10051},
    {ENETRESET, 10052},       {ECONNABORTED, 10053},    {ECONNRESET, 10054},
    {EPIPE, 10054},           {ENOBUFS, 10055},         {ENOMEM, 10055},
    {EISCONN, 10056},         {ENOTCONN, 10057},        {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061},
    {ELOOP, 10062},           {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
};

constexpr Mapping resolverMappings[] = {
    {EAI_NONAME, 11001},   {EAI_AGAIN, 11002},   {EAI_FAIL, 11003},
    {EAI_NODATA, 11004},   {EAI_ADDRFAMILY, 11004}, {EAI_MEMORY, 10055},
    {EAI_FAMILY, 10047},   {EAI_SOCKTYPE, 10044}, {EAI_SERVICE, 10109},
    {EAI_BADFLAGS, 10022},
};

template <std::size_t N>
int Lookup(const Mapping (&table)[N], int value, int fallback) {
  for (const Mapping& m : table) {
    if (m.from == value) return m.to;
  }
  return fallback;
}

}  // namespace

int WinsockErrorFromErrno(int errnoValue) {
  return Lookup(errnoMappings, errnoValue, WSASYSCALLFAILURE);
}

int WinsockErrorFromResolver(int eaiValue, int errnoValue) {
  if (eaiValue == EAI_SYSTEM) return WinsockErrorFromErrno(errnoValue);
  return Lookup(resolverMappings, eaiValue, WSANO_RECOVERY);
}
