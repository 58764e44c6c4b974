#include "mqtt/MqttClient.h"

#include <mosquitto.h>

#include <QFile>
#include <cstring>

namespace {

constexpr int kKeepAliveSeconds = 30;

// The library is set up once for the process.
void InitLibrary() {
    static const bool done = [] {
        mosquitto_lib_init();
        return true;
    }();
    (void)done;
}

}  // namespace

TMqttClient::TMqttClient(const TOptions& options, QObject* parent)
    : QObject(parent), options_(options) {
    InitLibrary();
}

TMqttClient::~TMqttClient() {
    stop_ = true;
    if (mosq_) mosquitto_disconnect(mosq_);
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (mosq_) mosquitto_destroy(mosq_);
}

QString TMqttClient::Start() {
    mosq_ = mosquitto_new(options_.clientId.toUtf8().constData(), true, this);
    if (!mosq_) return QStringLiteral("libmosquitto: ") + QString::fromLocal8Bit(strerror(errno));
    mosquitto_threaded_set(mosq_, true);
    mosquitto_connect_callback_set(mosq_, &TMqttClient::OnConnect);
    mosquitto_message_callback_set(mosq_, &TMqttClient::OnMessage);
    mosquitto_publish_callback_set(mosq_, &TMqttClient::OnPublish);
    mosquitto_log_callback_set(mosq_, &TMqttClient::OnLog);
    if (!options_.user.isEmpty()) {
        const QByteArray user = options_.user.toUtf8();
        mosquitto_username_pw_set(
            mosq_, user.constData(),
            options_.password.isEmpty() ? nullptr : options_.password.constData());
    }
    const QByteArray willTopic = options_.willTopic.toUtf8();
    if (!willTopic.isEmpty()) {
        mosquitto_will_set(mosq_, willTopic.constData(), int(options_.willPayload.size()),
                           options_.willPayload.constData(), 1, true);
    }
    if (options_.tls) {
        int rc = MOSQ_ERR_SUCCESS;
        if (options_.caFile.isEmpty()) {
            rc = mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        } else {
            rc = mosquitto_tls_set(mosq_, QFile::encodeName(options_.caFile).constData(), nullptr,
                                   nullptr, nullptr, nullptr);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            return QStringLiteral("TLS nicht einstellbar: ") +
                   QString::fromUtf8(mosquitto_strerror(rc));
        }
    }
    thread_ = std::thread([this] { Run(); });
    return {};
}

void TMqttClient::Post(const std::function<void()>& call) {
    QMetaObject::invokeMethod(this, call, Qt::QueuedConnection);
}

// ---- the library's thread -----------------------------------------------------------------

void TMqttClient::Run() {
    const QByteArray host = options_.host.toUtf8();
    int pauseMs = kFirstPauseMs;
    while (!stop_) {
        {
            std::lock_guard lock(errorMutex_);
            lastError_.clear();
        }
        int rc = mosquitto_connect(mosq_, host.constData(), options_.port, kKeepAliveSeconds);
        int error = errno;
        while (rc == MOSQ_ERR_SUCCESS && !stop_ && !refused_) {
            rc = mosquitto_loop(mosq_, 1000, 1);
            error = errno;
        }
        const bool wasUp = connected_.exchange(false);
        if (stop_ || refused_) break;
        const QString why = Reason(rc, error);
        Post([this, why] {
            up_ = false;
            emit Down(why);
        });
        if (wasUp) pauseMs = kFirstPauseMs;
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(pauseMs), [this] { return bool(stop_); });
        pauseMs = std::min(pauseMs * 2, kLongestPauseMs);
    }
    connected_ = false;
}

QString TMqttClient::Reason(int rc, int error) {
    QString said;
    {
        std::lock_guard lock(errorMutex_);
        said = lastError_;
    }
    switch (rc) {
        case MOSQ_ERR_ERRNO:
            return QString::fromLocal8Bit(strerror(error));
        case MOSQ_ERR_EAI:
            return QStringLiteral("Name nicht auflösbar");
        case MOSQ_ERR_TLS:
            return QStringLiteral("TLS: ") + (said.isEmpty() ? QStringLiteral("Fehler") : said);
        case MOSQ_ERR_CONN_LOST:
            return QStringLiteral("Verbindung abgebrochen");
        default:
            return said.isEmpty() ? QString::fromUtf8(mosquitto_strerror(rc)) : said;
    }
}

void TMqttClient::OnConnect(mosquitto*, void* self, int rc) {
    auto* c = static_cast<TMqttClient*>(self);
    if (rc == 0) {
        c->connected_ = true;
        c->Post([c] {
            c->up_ = true;
            emit c->Up();
        });
        return;
    }
    const QString why = QString::fromUtf8(mosquitto_connack_string(rc));
    // 4: bad user name or password, 5: not authorised; anything else may pass.
    if (rc == 4 || rc == 5) {
        c->refused_ = true;
        c->Post([c, why] { emit c->Refused(why); });
        return;
    }
    std::lock_guard lock(c->errorMutex_);
    c->lastError_ = why;
}

void TMqttClient::OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
    auto* c = static_cast<TMqttClient*>(self);
    const QString topic = QString::fromUtf8(m->topic);
    const QByteArray payload(static_cast<const char*>(m->payload), m->payloadlen);
    const bool retained = m->retain;
    c->Post([c, topic, payload, retained] { emit c->Message(topic, payload, retained); });
}

void TMqttClient::OnPublish(mosquitto*, void* self, int mid) {
    auto* c = static_cast<TMqttClient*>(self);
    std::lock_guard lock(c->mutex_);
    if (mid == c->lastMid_) {
        c->lastSent_ = true;
        c->wake_.notify_all();
    }
}

void TMqttClient::OnLog(mosquitto*, void* self, int level, const char* text) {
    if (!(level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING))) return;
    auto* c = static_cast<TMqttClient*>(self);
    std::lock_guard lock(c->errorMutex_);
    c->lastError_ = QString::fromUtf8(text);
}

// ---- the Qt thread ------------------------------------------------------------------------

bool TMqttClient::Publish(const QString& topic, const QByteArray& payload, bool retain) {
    if (!up_) return false;
    const QByteArray t = topic.toUtf8();
    const int rc = mosquitto_publish(mosq_, nullptr, t.constData(), int(payload.size()),
                                     payload.constData(), 1, retain);
    // Lost meanwhile: the library keeps a QoS 1 message and sends it after the reconnect.
    return rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN;
}

void TMqttClient::Subscribe(const QString& pattern) {
    if (up_) mosquitto_subscribe(mosq_, nullptr, pattern.toUtf8().constData(), 1);
}

void TMqttClient::Stop(const QString& topic, const QByteArray& payload, int ms) {
    if (up_) {
        const QByteArray t = topic.toUtf8();
        std::unique_lock lock(mutex_);
        int mid = -1;
        lastSent_ = false;
        if (mosquitto_publish(mosq_, &mid, t.constData(), int(payload.size()), payload.constData(),
                              1, true) == MOSQ_ERR_SUCCESS) {
            lastMid_ = mid;
            wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return lastSent_; });
        }
    }
    stop_ = true;
    mosquitto_disconnect(mosq_);
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    up_ = false;
}
