#pragma once
// The connection to the shop's broker, through libmosquitto: MQTT 3.1.1, QoS 1, a clean
// session (a command sent while the bridge was away is not carried out later), a last will.
// The library runs on a thread of its own, which connects, reads and writes and, when the
// broker is away, tries again with a pause that doubles up to a minute; what it hears
// reaches the Qt thread as signals. Only a broker that refuses the user ends the tries.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

struct mosquitto;
struct mosquitto_message;

class TMqttClient final : public QObject {
    Q_OBJECT

  public:
    struct TOptions {
        QString host;
        int port = 1883;
        bool tls = false;
        QString caFile;  // with tls: the CA of the broker's certificate (empty: the system's)
        QString user;    // empty: none
        QByteArray password;
        QString clientId;
        QString willTopic;  // retained, QoS 1
        QByteArray willPayload;
    };
    // The pauses between tries.
    static constexpr int kFirstPauseMs = 1000;
    static constexpr int kLongestPauseMs = 60000;

    explicit TMqttClient(const TOptions& options, QObject* parent = nullptr);
    ~TMqttClient() override;

    // Starts the tries; empty, or why the options cannot be used (German).
    QString Start();
    // The broker has taken the connection (Up) and has not been lost since (Down).
    bool IsUp() const { return up_; }
    // Publishes with QoS 1; false when the broker is not up (nothing is queued then) or the
    // message cannot be sent at all.
    bool Publish(const QString& topic, const QByteArray& payload, bool retain);
    void Subscribe(const QString& pattern);
    // Publishes a last message (retained), waits up to ms until the broker has it, and ends
    // the connection.
    void Stop(const QString& topic, const QByteArray& payload, int ms);

  signals:
    void Up();
    // A connection ended or a try failed; another try follows.
    void Down(const QString& why);
    // The broker refuses the user: no further try.
    void Refused(const QString& why);
    void Message(const QString& topic, const QByteArray& payload, bool retained);

  private:
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnPublish(mosquitto*, void* self, int mid);
    static void OnLog(mosquitto*, void* self, int level, const char* text);
    void Run();
    QString Reason(int rc, int error);
    void Post(const std::function<void()>& call);

    TOptions options_;
    mosquitto* mosq_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> refused_{false};
    std::atomic<bool> connected_{false};  // as the library's thread knows it
    bool up_ = false;                     // as the Qt thread knows it
    int lastMid_ = -1;                    // the message Stop waits for (under mutex_)
    bool lastSent_ = false;
    std::mutex errorMutex_;
    QString lastError_;  // what the library said last (under errorMutex_)
};
