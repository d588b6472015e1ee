// Compiled into one update server library per configuration (see
// oculo_update_server_library), with the server and certificate file it names.
#include "update/UpdateServer.h"

oculo::UpdateServer oculo::UpdateServer::builtIn() {
    return configured(QUrl(QStringLiteral(OCULO_UPDATE_BASE_URL)),
                      QStringLiteral(OCULO_UPDATE_CA_FILE));
}
