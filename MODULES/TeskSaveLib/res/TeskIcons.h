// The icons both programs carry, under the same resource ids.
#pragma once

#include <winui.h>

constexpr UINT IDR_MAINFRAME = 128;       // the program icon (window, task bar)
constexpr UINT IDI_TESK_LOGO = 130;       // the picture beside the description
constexpr UINT IDI_STORE = 12119;         // a message store
constexpr UINT IDI_DEFAULT_STORE = 12118; // the default message store
constexpr UINT IDI_CONTACTS = 9501;
constexpr UINT IDI_CALENDAR = 129;
constexpr UINT IDI_JOURNAL = 12123;
constexpr UINT IDI_TASKS = 12122;
constexpr UINT IDI_MAIL_FOLDER = 9617;
constexpr UINT IDI_NOTES = 9602;
constexpr UINT IDI_INBOX = 9608;
constexpr UINT IDI_OUTBOX = 12127;
constexpr UINT IDI_SENT_ITEMS = 12128;
constexpr UINT IDI_DELETED_ITEMS = 12129;

// Registers every icon above with RegisterIconResource. Call once at start.
void RegisterTeskIcons();
