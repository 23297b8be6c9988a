#include "tools/exporter/QipExporterWebConfig.h"

#include <errno.h>
#include <string.h>

#include <exception>
#include <fstream>
#include <set>
#include <sstream>

#include <gnutls/gnutls.h>
#include <yaml-cpp/yaml.h>

#include "tools/exporter/QipExporterPasswords.h"

namespace {

const std::map<std::string, std::string> cVersions = {
    {"TLS10", "VERS-TLS1.0"}, {"TLS11", "VERS-TLS1.1"}, {"TLS12", "VERS-TLS1.2"}, {"TLS13", "VERS-TLS1.3"}};

bool ReadFile(const std::string& path, std::string& text, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    std::ostringstream out;
    out << in.rdbuf();
    text = out.str();
    return true;
}

// Each key of `map` must be one of `known`; `where` prefixes the name in the error.
bool CheckKeys(const YAML::Node& map, const std::set<std::string>& known, const std::string& where,
               std::string& error) {
    if (!map.IsMap()) {
        error = (where.empty() ? std::string("the file") : where) + " must be a mapping";
        return false;
    }
    for (const auto& entry : map) {
        const std::string key = entry.first.as<std::string>();
        if (known.count(key) == 0) {
            error = "unsupported key " + (where.empty() ? "" : where + ".") + key;
            return false;
        }
    }
    return true;
}

std::string Text(const YAML::Node& node) { return node && !node.IsNull() ? node.as<std::string>() : ""; }

// The certificate, key and client CA as the TLS library will take them, so that a file
// that cannot serve is an error when it is read.
bool CheckCredentials(const QipExporterWebConfig& config, std::string& error) {
    gnutls_certificate_credentials_t credentials;
    if (gnutls_certificate_allocate_credentials(&credentials) != GNUTLS_E_SUCCESS) {
        error = "the TLS library cannot start";
        return false;
    }
    const auto datum = [](const std::string& text) {
        return gnutls_datum_t{reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
                              static_cast<unsigned>(text.size())};
    };
    const gnutls_datum_t cert = datum(config.mCertPem);
    const gnutls_datum_t key = datum(config.mKeyPem);
    const gnutls_datum_t ca = datum(config.mClientCaPem);
    int result = gnutls_certificate_set_x509_key_mem(credentials, &cert, &key, GNUTLS_X509_FMT_PEM);
    if (result < 0) {
        error = std::string("cert_file and key_file cannot be used: ") + gnutls_strerror(result);
    } else if (!config.mClientCaPem.empty() &&
               (result = gnutls_certificate_set_x509_trust_mem(credentials, &ca, GNUTLS_X509_FMT_PEM)) <= 0) {
        error = "client_ca_file holds no usable certificate";
        result = -1;
    }
    gnutls_certificate_free_credentials(credentials);
    return result >= 0;
}

bool ParseTls(const YAML::Node& tls, const std::string& folder, QipExporterWebConfig& config,
              std::string& error) {
    if (!CheckKeys(tls, {"cert_file", "key_file", "client_ca_file", "client_auth_type", "min_version",
                         "max_version"},
                   "tls_server_config", error)) {
        return false;
    }
    const auto path = [&folder](const std::string& name) {
        return name.empty() || name[0] == '/' ? name : folder + "/" + name;
    };
    const std::string authType = Text(tls["client_auth_type"]);
    if (!authType.empty() && authType != "NoClientCert" && authType != "RequireAndVerifyClientCert") {
        error = "unsupported client_auth_type " + authType + " (NoClientCert or RequireAndVerifyClientCert)";
        return false;
    }
    const std::string cert = path(Text(tls["cert_file"]));
    const std::string key = path(Text(tls["key_file"]));
    if (cert.empty() || key.empty()) {
        error = "tls_server_config needs both cert_file and key_file";
        return false;
    }
    if (!ReadFile(cert, config.mCertPem, error) || !ReadFile(key, config.mKeyPem, error)) return false;
    const std::string clientCa = path(Text(tls["client_ca_file"]));
    if (authType == "RequireAndVerifyClientCert" || (authType.empty() && !clientCa.empty())) {
        if (clientCa.empty()) {
            error = "client_auth_type RequireAndVerifyClientCert needs client_ca_file";
            return false;
        }
        if (!ReadFile(clientCa, config.mClientCaPem, error)) return false;
    } else if (authType == "NoClientCert") {
        if (!clientCa.empty()) {
            error = "client_ca_file needs client_auth_type RequireAndVerifyClientCert";
            return false;
        }
    }
    if (!CheckCredentials(config, error)) return false;
    const std::string minimum = Text(tls["min_version"]).empty() ? "TLS12" : Text(tls["min_version"]);
    const std::string maximum = Text(tls["max_version"]).empty() ? "TLS13" : Text(tls["max_version"]);
    if (cVersions.count(minimum) == 0 || cVersions.count(maximum) == 0 || minimum > maximum) {
        error = "min_version and max_version take TLS10, TLS11, TLS12 or TLS13, the minimum first";
        return false;
    }
    config.mPriorities = "NORMAL:-VERS-ALL";
    for (const auto& version : cVersions) {
        if (version.first >= minimum && version.first <= maximum) config.mPriorities += ":+" + version.second;
    }
    config.mTls = true;
    return true;
}

}  // namespace

bool QipExporterWebConfig::Load(const std::string& path, QipExporterWebConfig& config,
                                std::string& error) {
    std::string text;
    const std::string::size_type slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (!ReadFile(path, text, error) || !Parse(text, folder, config, error)) {
        error = "web config " + path + ": " + error;
        return false;
    }
    return true;
}

bool QipExporterWebConfig::Parse(const std::string& text, const std::string& folder,
                                 QipExporterWebConfig& config, std::string& error) {
    config = QipExporterWebConfig();
    try {
        const YAML::Node root = YAML::Load(text);
        if (root.IsNull()) return true;  // an empty file: plain HTTP, no passwords
        if (!CheckKeys(root, {"tls_server_config", "http_server_config", "basic_auth_users"}, "", error)) {
            return false;
        }
        if (root["tls_server_config"] && !ParseTls(root["tls_server_config"], folder, config, error)) {
            return false;
        }
        if (const YAML::Node http = root["http_server_config"]) {
            if (!CheckKeys(http, {"headers", "http2"}, "http_server_config", error)) return false;
            if (http["http2"] && http["http2"].as<bool>()) {
                error = "http_server_config.http2: only false is supported (HTTP/1.1)";
                return false;
            }
            if (const YAML::Node headers = http["headers"]) {
                if (!headers.IsMap()) {
                    error = "http_server_config.headers must map header names to values";
                    return false;
                }
                for (const auto& header : headers) {
                    const std::string name = header.first.as<std::string>();
                    const std::string value = header.second.as<std::string>();
                    if (name.find_first_of(":\r\n") != std::string::npos ||
                        value.find_first_of("\r\n") != std::string::npos) {
                        error = "http_server_config.headers: header " + name + " is malformed";
                        return false;
                    }
                    config.mHeaders.emplace_back(name, value);
                }
            }
        }
        if (const YAML::Node users = root["basic_auth_users"]) {
            if (!users.IsMap()) {
                error = "basic_auth_users must map user names to password hashes";
                return false;
            }
            for (const auto& user : users) {
                const std::string name = user.first.as<std::string>();
                const std::string hash = user.second.as<std::string>();
                // crypt(3) would read a hash without a method prefix as DES, which bcrypt's
                // users never mean; a plain-text password, or a hash that could never
                // match here (htpasswd's default MD5), is a mistake worth a clear error.
                if (name.find(':') != std::string::npos || !QipExporterPasswords::CanVerify(hash)) {
                    error = "basic_auth_users." + name + ": not a user name with a hash this exporter can "
                            "verify; use bcrypt ($2y$..., htpasswd -nB)";
                    return false;
                }
                config.mUsers[name] = hash;
            }
        }
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    return true;
}
