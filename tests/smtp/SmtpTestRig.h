#pragma once

// What the SMTP front end tests share: the reference service in a temporary
// folder, the agent as the program assembles it (TestAgent) built fresh for
// each test, and a raw SMTP client driven from the event loop.

#include "AgentOptions.h"
#include "LineClient.h"
#include "ServiceProcess.h"
#include "TestAgent.h"
#include "SettingsStore.h"
#include "SmtpFrontEnd.h"
#include "StoredTexts.h"
#include "Winsock.h"
#include "clsHotmail.h"
#include "modMain.h"

#include <QDir>
#include <QEventLoop>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

#include <memory>

