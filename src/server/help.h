// The help texts printed by the command line. They are UTF-8 and end without a newline: the
// console writer converts them to the console's code page and adds the final newline.
#pragma once
#include "adt/text.h"

namespace server {

// The full help. `program` is argv[0]: its file name part follows "Запуск:", and the same name
// with the extension "ini" names the settings file.
adt::String fullHelpText(const adt::String& program);

// The help of the schedule grammar (topic "sched").
adt::String scheduleHelpText();

// The help for a topic: the schedule help for "sched", otherwise
// "Раздел справки \"<topic>\" не найден".
adt::String helpTopicText(const adt::String& topic);

}  // namespace server
