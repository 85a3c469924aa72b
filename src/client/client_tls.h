// The client side of TLS: one context for the control and data connections.
#pragma once

#include <string>

struct ssl_ctx_st;

// A TLS client context. insecure: accept any certificate (a self-signed
// one among them); otherwise the certificate must chain to ca_file, or to
// the system store when ca_file is empty. nullptr with *error set.
ssl_ctx_st* NewClientTlsContext(bool insecure, const std::string& ca_file, std::string* error);
void FreeClientTlsContext(ssl_ctx_st* ctx);
