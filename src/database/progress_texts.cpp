/*
 * The progress dialog's languages and texts.
 *
 * On Windows the messages come from the string table of the library's
 * resources, except the Japanese and Chinese ones, which the library holds
 * in their own code pages (Shift-JIS and Big5).  Elsewhere they are shown
 * from the UTF-8 copies below.
 */
#include "database/progress.h"

namespace kvx {

namespace {

/* English, the default, comes last. */
const ProgressLanguage kLanguages[] = {
    {4, "PROGRESSDLG_TW", 1024,
     {"由於這是一個大容量檔案，正在建立供高速存取用的數據庫，請稍候。",
      "由於這是一個大容量檔案，正在建立供高速存取用的數據庫，請稍候。",
      "由於這是一個大容量檔案，正在建立供高速存取用的數據庫，請稍候。"}},
    {7, "PROGRESSDLG_GR", 1792,
     {"Da dies eine große Datei ist, wird eine Datenbank für Schnellzugriff erstellt. \nBitte waren",
      "Erstelle die bearbeitete Datei.\nBitte waren",
      "Füge einen neuen KVX-Dateianfangskennsatz hinzu. \nBitte waren"}},
    {10, "PROGRESSDLG_SE", 2560,
     {"Debido a que este es un archivo grande, se está creando una base de datos para acceso de alta "
      "velocidad.\nEspere un momento.",
      "Creando el archivo editado.\nEspere un momento.",
      "Agregando un encabezado de archivo nuevo KVX.\nEspere un momento."}},
    {12, "PROGRESSDLG_FR", 3072,
     {"Il s'agit d'un fichier important. Une base de données pour l'accès à haute vitesse est en cours de "
      "création. \nVeuillez attendre.",
      "Création du fichier édité. \nVeuillez attendre.",
      "Ajout d'un nouvel en-tête de fichier KVX. \nVeuillez attendre."}},
    {16, "PROGRESSDLG_IT", 4096,
     {"Poiché il file è di grandi dimensioni, si sta creando un database di accesso rapido. \nAttendere.",
      "Creazione del file sottoposto a editing.\nAttendere.",
      "Aggiunta di una nuova intestazione KVX in corso. \nAttendere."}},
    {17, "PROGRESSDLG_JP", 4352,
     {"高速 ｱｸｾｽ のための ﾃﾞｰﾀ ﾍﾞｰｽを作成しています。\nしばらくお待ちください。",
      "編集した ﾌｧｲﾙ を作成しています。\nしばらくお待ちください。",
      "新しい ﾍｯﾀﾞｰ を追加しています。\nしばらくお待ちください。"}},
    {0, "PROGRESSDLG", 2304,
     {"Since this is a large file, a database for high-speed access is being created. \nPlease wait.",
      "Creating the edited file.\nPlease wait.",
      "Adding a KVX new file header. \nPlease wait."}},
};

} // namespace

/* The Japanese texts in Shift-JIS and the Chinese one in Big5, as the
 * Windows dialog shows them. */
const char *const kShiftJisTexts[3] = {
    "\x8d\x82\x91\xac \xb1\xb8\xbe\xbd \x82\xcc\x82\xbd\x82\xdf\x82\xcc \xc3\xde\xb0\xc0 \xcd\xde\xb0\xbd\x82\xf0"
    "\x8d\xec\x90\xac\x82\xb5\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x81"
    "B\n\x82\xb5\x82\xce\x82\xe7\x82\xad\x82\xa8\x91\xd2\x82\xbf\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81"
    "B",
    "\x95\xd2\x8fW\x82\xb5\x82\xbd \xcc\xa7\xb2\xd9 \x82\xf0\x8d\xec\x90\xac\x82\xb5\x82\xc4\x82\xa2\x82\xdc\x82"
    "\xb7\x81"
    "B\n\x82\xb5\x82\xce\x82\xe7\x82\xad\x82\xa8\x91\xd2\x82\xbf\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81"
    "B",
    "\x90V\x82\xb5\x82\xa2 \xcd\xaf\xc0\xde\xb0 \x82\xf0\x92\xc7\x89\xc1\x82\xb5\x82\xc4\x82\xa2\x82\xdc\x82\xb7"
    "\x81"
    "B\n\x82\xb5\x82\xce\x82\xe7\x82\xad\x82\xa8\x91\xd2\x82\xbf\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81"
    "B",
};
const char kBig5Text[] =
    "\xa5\xd1\xa9\xf3\xb3o\xacO\xa4@\xad\xd3\xa4j\xae"
    "e\xb6q\xc0\xc9\xae\xd7\xa1"
    "A\xa5\xbf\xa6"
    "b\xab\xd8\xa5\xdf\xa8\xd1\xb0\xaa\xb3t\xa6s\xa8\xfa\xa5\xce\xaa\xba\xbc\xc6\xbe\xda\xaew\xa1"
    "A\xbd\xd0\xb5y\xad\xd4\xa1"
    "C";

const ProgressLanguage &progress_language_for(uint32_t lcid)
{
    const uint16_t primary = static_cast<uint16_t>(lcid & 0xFF);
    const size_t count = sizeof kLanguages / sizeof kLanguages[0];
    for (size_t i = 0; i + 1 < count; ++i)
        if (kLanguages[i].primary == primary) return kLanguages[i];
    return kLanguages[count - 1];
}

} // namespace kvx
