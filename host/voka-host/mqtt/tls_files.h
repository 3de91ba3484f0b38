#pragma once
// The TLS files of the broker connection, read the way libmosquitto will
// read them (with OpenSSL, PEM), so that trouble names its cause: the library
// itself only says "A TLS error occurred".
//
// What never mends by waiting is a configuration error at start: a CA file
// without a certificate, a client certificate or key that cannot be read as
// PEM (an encrypted key among them: nobody could type its passphrase), a key
// that does not belong to the certificate. What time mends or breaks (a
// certificate expired or not valid yet) is told, not refused: polling goes
// on without the broker as it does while the broker is away.
#include <ctime>
#include <string>
#include <vector>

#include "host/voka-host/mqtt/mqtt_config.h"

namespace mqtt {

// Throws ConfigError naming `source` and the key (mqtt.tls.ca_file,
// mqtt.tls.cert_file, mqtt.tls.key_file).
void check_tls_files(const MqttTls& tls, const std::string& source);

// The certificates (the CA file's, the client's) that are not valid at
// `now`, one sentence each naming the file and the date; empty when all are.
// A file that cannot be read says nothing here: check_tls_files refuses it.
std::vector<std::string> tls_time_problems(const MqttTls& tls, std::time_t now);

}  // namespace mqtt
