// The datagrams a trial sends: bench_sender, numbering each and stamping its sending time.
#pragma once

#include <QProcess>

struct Tools;

// `count` datagrams to `port`, evenly spaced at `rate` a second or at full speed (0), each
// number after `prefix` (a letter makes them warm-up entries, which no count takes in). It is
// killed with its object if still sending.
class Sender
{
public:
    Sender(const Tools &tools, quint16 port, long count, double rate, const QString &prefix = {});
    ~Sender();
    Sender(const Sender &) = delete;
    Sender &operator=(const Sender &) = delete;

    // Waits at most `seconds` for it to end; whether it did.
    bool wait(double seconds);
    // Whether it ended having sent everything.
    bool sentAll() const;
    // The rate it reached, once it ended.
    double reached();
    void kill();

private:
    QProcess m_process;
};

// Sends and waits for the end; whether everything was sent.
bool send(const Tools &tools, quint16 port, long count, double rate, const QString &prefix = {});
