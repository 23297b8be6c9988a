#pragma once

#include <map>
#include <string>
#include <vector>

// What --web-config FILE asks of the HTTP server, in the web configuration format that
// Prometheus exporters share (YAML):
//
//   tls_server_config:
//     cert_file, key_file            PEM files; both or neither
//     client_ca_file                 PEM; clients must show a certificate it signed
//     client_auth_type               NoClientCert or RequireAndVerifyClientCert
//     min_version, max_version       TLS10, TLS11, TLS12 (the default minimum) or TLS13
//   http_server_config:
//     headers                        name: value, added to every answer
//     http2                          false only (the server speaks HTTP/1.1)
//   basic_auth_users                 user name: bcrypt (or yescrypt, SHA-crypt) hash that
//                                    crypt(3) here verifies; MD5 and plain text are refused
//
// Every other key is refused by name. File names are relative to the file's folder. A
// plain value type; Load reads the files it names, so that a later change of them on disk
// is seen only at the next Load.
struct QipExporterWebConfig {
    bool mTls = false;
    std::string mCertPem;
    std::string mKeyPem;
    std::string mClientCaPem;  // empty: no client certificate asked for
    std::string mPriorities;   // for the TLS library, from min_version and max_version
    std::map<std::string, std::string> mUsers;  // user name: password hash
    std::vector<std::pair<std::string, std::string>> mHeaders;

    // Reads and checks `path` and every file it names. False with `error` in one line that
    // names the file and the key ("web config /etc/x.yml: unsupported key
    // tls_server_config.cipher_suites").
    static bool Load(const std::string& path, QipExporterWebConfig& config, std::string& error);
    // As Load, from the file's text; `folder` is where relative file names start.
    static bool Parse(const std::string& text, const std::string& folder,
                      QipExporterWebConfig& config, std::string& error);
};
