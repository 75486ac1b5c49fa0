#include "server/help.h"

#include "adt/file.h"
#include "server/arguments.h"

namespace server {
namespace {

// clang-format off
// Help texts, one source line per printed line.
constexpr const char* kHelpHead =
    " [reg|unreg|start|stop|restart] [-h|-?] [-v] [--debug] [--console]\n"
    "\n"
    "    -h или -?\tвыдать помощь\n"
    "    -v\t\tвыдать версию\n"
    "    --debug\tписать в лог дополнительную отладочную информацию\n"
    "работа в качестве службы\n"
    "    reg\t\tдобавить в список служб\n"
    "    unreg\tубрать из списка служб\n"
    "    start\tстартовать зарегистрированную службу\n"
    "    stop\tостановить запущенную службу\n"
    "    restart\tперезапустить запущенную службу\n"
    "работа в автономном режиме\n"
    "    --console\tзапуск в консольном режиме\n"
    "проверка почтовых оповещений\n"
    "    --checkmail\tотправка тестовых писем на адреса, указанные в am.ini как admin.mail=...\n"
    "проверка конфигурации\n"
    "    --checkconf\tпроверка настроек из ini-файла\n"
    "структура каталога обновлений (<am-home>/updates/):\n"
    "    agents  - каталог с обновлениями агентов (при запуске агента am ищёт в этом каталоге дистрибутив подходящей версии агента и запускает её)\n"
    "    clients - каталог с обновлениями клиентов (агенты сканируют этот каталог на наличие обновлений для клиентов)\n"
    "    am      - каталог с обновлениями am (обновления из этого каталога можно применить с помощью vevureroz)\n"
    "\n";
constexpr const char* kHelpSettings =
    "конфигурация состоит из секций:\n"
    "    [common]\t\t- не обязательная\n"
    "    client_port=port\t- порт для взаимодействия с клиентами и VEVureroz\n"
    "    agent_port=port\t- порт для взаимодействия с запущенными агентами\n"
    "    client_ports=min_port:max_port\t- диапазон портов для взаимодействия агентов с клиентами\n"
    "    http_port=port\t- порт для подключения web-пользователей\n"
    "    fqdn=full.qualified.domain.name - полностью определённое имя домена\n"
    "    welcome=str\t\t- строка приветствия для web-пользователей\n"
    "    id=str\t\t- идентификатор сервера приложений\n"
    "    ip_mask=mask\t- маска IPv4-адресов, которым разрешён доступ к серверу приложений\n"
    "    verbose\t\t- подробные сообщения о выполняемых запросах\n"
    "    trace\t\t- трассировать использование системных ресурсов\n"
    "    long_operation_timeout=ms\t- лимит времени для длительных операций агента, при превышении заданного лимита агент будет считаться зависшим и будет остановлен\n"
    "    warn.memory.percent=процент\t- процент использования памяти на сервере, при превышении которого администраторам будет отправлено сообщение с предупреждением\n"
    "    zip.cmd=путь\t- путь к исполняемому файлу архиватора\n"
    "    настройки почтового ящика, с которого будут отправляться уведомления администраторам:\n"
    "    \tmail.server={host}\t- адрес/имя SMTP-сервера\n"
    "    \tmail.account={am@example.com}\t- имя почтового ящика\n"
    "    \tmail.login={user}\t- имя пользователя\n"
    "    \tmail.password={pasw}- пароль от почтового ящика\n"
    "    \tadmin.mail={admin@example.com}\t- почтовый ящик на который будут приходить уведомления\n"
    "    [agent]\t\t- описание агента\n"
    "    id=agentid\t\t- идентификатор сервер в БД\n"
    "    name=text\t\t- имя агента в списке агентов\n"
    "    args=...\t- аргументы запуска агента\n"
    "    ver=5.1.532/5.2\t- настройка необходимой версии агента\n"
    "    description=text\t- описание агента\n"
    "    worker_processes=count\t- количество процессов агента\n"
    "    heavy_processes=count\t- количество тяжелых процессов агента\n"
    "    heavy_extra_mem=count\t- прибавка памяти для тяжелых процессов агента\n"
    "    application=text\t- имя приложения(фильтрация списка агентов)\n"
    "    http_port=port\t- порт для подключения web-пользователей\n"
    "    icon=text\t- пиктограмма агента (имя встроенного изображения или ссылка на файл)\n"
    "    ip_mask=x.x.x.x\t- фильтр подключений к менеджеру по ip маске\n"
    "    client_ports=min_port:max_port\t- диапазон портов для взаимодействия агентов с клиентами\n"
    "    run_at_least_once=x\t- где x 0 или 1\n"
    "    server_name=text\t- имя виртуального сервера\n"
    "    sched={{*/}xM}{xw}{{*/}xd}{{*/}xh}{{*/}xm}-{{*/}xM}{xw}{{*/}xd}{{*/}xh}{{*/}xm}\t- расписание запуска агента\n"
    "      M-месяц, d-день, h-час, m-минута, w-день недели\n"
    "      x-число, */ - для задания значения в виде интервала\n"
    "      первый диапазон задает время старта, второй - время непрерывной работы агента\n"
    "    restart_time=HH1:MM1{;HH2:MM2;...}\t- расписание остановок агента: время суток, в которое необходимо останавливать агент\n"
    "    trace\t\t- включить использование ресурсов агентом в общую трассировку (у агента должен быть назначен id)\n"
    "    cmd=exe_path\t- команда запуска агента\n"
    "    dir=path\t\t- рабочая папка агента\n"
    "    [user]\t\t- описание пользователя\n"
    "    name=admin\t\t- имя пользователя, используемое при аутентификации\n"
    "    permissions=rw\t- права доступа (ro или rw)";
constexpr const char* kScheduleHelp =
    "Расписание запуска задаётся в настройках агента:\n"
    "    sched={{*/}xM}{xw}{{*/}xd}{{*/}xh}{{*/}xm}-{{*/}xM}{xw}{{*/}xd}{{*/}xh}{{*/}xm}\n"
    "  M-месяц, d-день, h-час, m-минута, w-день недели\n"
    "  x-число, */ - для задания значения в виде интервала\n"
    "  первый диапазон задает время старта, второй - время остановки агента\n"
    "\n"
    "Примеры:\n"
    "  Работать каждый день с 8:00 по 18:30:\n"
    "\tsched=8h-18h30m\n"
    "  Каждый день с 9:15 по 17:15 кроме субботы и воскресенья:\n"
    "\tsched=1w9h15m-17h15m\n"
    "\tsched=2w9h15m-17h15m\n"
    "\tsched=3w9h15m-17h15m\n"
    "\tsched=4w9h15m-17h15m\n"
    "\tsched=5w9h15m-17h15m\n"
    "  С 8:00 до 12:00 по 15 минут в час:\n"
    "\tsched=8h-*/15m\n"
    "\tsched=9h-*/15m\n"
    "\tsched=10h-*/15m\n"
    "\tsched=11h-*/15m\n"
    "\tsched=12h-*/15m\n"
    "  Все время кроме субботы с 12:00 по 13:00:\n"
    "\tsched=1w0h-6w12h\n"
    "\tsched=6w13h-1w0h";
// clang-format on

adt::String versionHeading() {
  return "Менеджер агентов, версия " + adt::versionText(kVersion) + "\n\n";
}

}  // namespace

adt::String fullHelpText(const adt::String& program) {
  const adt::String name = adt::fileNamePart(program);
  return versionHeading() + "Запуск:\n" + name + kHelpHead + "Описание файла конфигурации " +
         adt::replaceExtension(name, "ini") + "\n" + kHelpSettings;
}

adt::String scheduleHelpText() { return versionHeading() + kScheduleHelp; }

adt::String helpTopicText(const adt::String& topic) {
  if (topic == "sched") return scheduleHelpText();
  return "Раздел справки \"" + topic + "\" не найден";
}

}  // namespace server
