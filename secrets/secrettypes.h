#pragma once

// secrets/: serving the vault to other programs through the desktop's Secret Service on the session
// bus. QtCore and QtDBus only; what it needs of the window (locking) comes through SecretsHost.

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QMap>
#include <QMetaType>
#include <QString>

// A secret as it crosses the bus: the session it is encoded for, the algorithm's parameters
// (the IV of an encrypting session), the value and its content type.
struct SecretValue
{
    QDBusObjectPath session;
    QByteArray parameters;
    QByteArray value;
    QString contentType;
};

using AttributeMap = QMap<QString, QString>;
using SecretsByPath = QMap<QDBusObjectPath, SecretValue>;

QDBusArgument& operator<<(QDBusArgument& argument, const SecretValue& secret);
const QDBusArgument& operator>>(const QDBusArgument& argument, SecretValue& secret);

Q_DECLARE_METATYPE(SecretValue)
Q_DECLARE_METATYPE(AttributeMap)
Q_DECLARE_METATYPE(SecretsByPath)

// Registers the types above with QtDBus; idempotent.
void registerSecretTypes();

namespace SecretPaths {
inline constexpr char kServiceName[] = "org.freedesktop.secrets";
inline constexpr char kService[] = "/org/freedesktop/secrets";
inline constexpr char kCollection[] = "/org/freedesktop/secrets/collection/vaultry";
inline constexpr char kDefaultAlias[] = "/org/freedesktop/secrets/aliases/default";
inline constexpr char kSessionPrefix[] = "/org/freedesktop/secrets/session/s";
inline constexpr char kPromptPrefix[] = "/org/freedesktop/secrets/prompt/p";
// "/" stands for "no object" (no prompt needed, no collection).
inline QDBusObjectPath none()
{
    return QDBusObjectPath(QStringLiteral("/"));
}
// An item's path: the collection's and the entry id, as is when it is letters and digits,
// else "_" and the hex of its UTF-8 bytes (a D-Bus path element takes only [A-Za-z0-9_]).
QString itemElement(const QString& entryId);
// The entry id an item path names; empty when the path names no item of the collection.
QString entryIdOfPath(const QString& path);
QDBusObjectPath itemPath(const QString& entryId);
} // namespace SecretPaths

namespace SecretErrors {
inline constexpr char kIsLocked[] = "org.freedesktop.Secret.Error.IsLocked";
inline constexpr char kNoSession[] = "org.freedesktop.Secret.Error.NoSession";
inline constexpr char kNoSuchObject[] = "org.freedesktop.Secret.Error.NoSuchObject";
inline constexpr char kNotSupported[] = "org.freedesktop.DBus.Error.NotSupported";
inline constexpr char kInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";
inline constexpr char kAccessDenied[] = "org.freedesktop.DBus.Error.AccessDenied";
} // namespace SecretErrors
