#include "client/client_tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

ssl_ctx_st* NewClientTlsContext(bool insecure, const std::string& ca_file, std::string* error) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    *error = "TLS is not available";
    return nullptr;
  }
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // The data connections offer the control connection's session.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT);
  if (insecure) {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    return ctx;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  const bool loaded = ca_file.empty() ? SSL_CTX_set_default_verify_paths(ctx) == 1
                                      : SSL_CTX_load_verify_locations(ctx, ca_file.c_str(), nullptr) == 1;
  if (!loaded) {
    ERR_clear_error();
    SSL_CTX_free(ctx);
    *error = ca_file.empty() ? "cannot load the system certificate store" : "cannot load certificates from " + ca_file;
    return nullptr;
  }
  return ctx;
}

void FreeClientTlsContext(ssl_ctx_st* ctx) {
  if (ctx != nullptr) SSL_CTX_free(ctx);
}
