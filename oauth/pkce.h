// The random texts of the authorization-code flow: PKCE's code verifier and its S256
// challenge (RFC 7636 4.1, 4.2), and the state that ties the redirect to the request.
#pragma once

#include <string>

// count random bytes from the system's generator, in unpadded base64url (RFC 4648 5).
// Raises CTAVSMTPException 561 (facility 4) when the generator fails.
std::string RandomUrlText(std::size_t count);

// BASE64URL(SHA256(ASCII(verifier))), unpadded.
std::string S256Challenge(const std::string& verifier);
