#pragma once

// What the SMTP front end tests share: the reference service in a temporary
// folder, the agent as the program assembles it (TestAgent) built fresh for
// each test, and a raw client driven from the event loop.

#include "LineClient.h"
#include "ServiceProcess.h"
#include "TestAgent.h"

#include <QDir>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
