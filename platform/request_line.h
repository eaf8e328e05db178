// The request line of the one HTTP request a loopback listener serves: what a
// connection sends up to its first line end, within 8 KiB.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// receive fills buffer with at most capacity bytes and returns how many it took; 0 or
// less ends the reading (closed, failed or out of time). The request line without its
// line end; empty when none came whole.
std::string ReadRequestLine(const std::function<long(char* buffer, std::size_t capacity)>& receive);
