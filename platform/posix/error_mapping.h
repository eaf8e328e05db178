// Translation of POSIX errno values and getaddrinfo() results into the Winsock error
// numbers (10004-11004) that the socket layer reports.
#pragma once

// Winsock number for an errno value; an errno with no Winsock counterpart gives
// WSASYSCALLFAILURE (10107).
int WinsockErrorFromErrno(int errnoValue);

// Winsock number for a getaddrinfo() result; EAI_SYSTEM takes the errno that the
// resolver left behind.
int WinsockErrorFromResolver(int eaiValue, int errnoValue);
