// The line's page's style sheet: plain CSS built into the program, nothing from elsewhere.
#include "line/line_page.h"

const char* const LineStyle = R"CSS(
* { box-sizing: border-box; }
body { margin: 0; padding: 0.5rem; font-family: sans-serif; background: #111; color: #eee; }
header { display: flex; flex-wrap: wrap; align-items: baseline; gap: 0 1rem; }
h1 { margin: 0; font-size: 1.4rem; }
h2 { font-size: 1.2rem; margin: 1rem 0 0.3rem; overflow-wrap: anywhere; }
a { color: #9cf; }
.target { margin: 0; color: #bbb; overflow-wrap: anywhere; flex: 1; }
.fault { font-size: 1.3rem; font-weight: bold; background: #b3201b; padding: 0.5rem; }
.search { margin: 0.5rem 0; font-size: 1.1rem; }
input, button { font-size: 1rem; padding: 0.3rem; }
#stations { display: grid; grid-template-columns: repeat(auto-fill, minmax(28rem, 1fr));
            gap: 0.5rem; }
.station { border-radius: 0.5rem; padding: 0.6rem; border-left: 1rem solid #555;
           background: #1c1c1c; overflow-x: auto; }
.station.green { border-color: #1b7d2f; }
.station.grey { border-color: #777; }
.station.red { border-color: #b3201b; }
.station .name { margin: 0; }
.word { font-size: 2.2rem; font-weight: bold; }
.station.green .word { color: #5fd36f; }
.station.red .word { color: #ff6b66; }
table { border-collapse: collapse; width: 100%; font-size: 0.95rem; margin: 0.3rem 0; }
th, td { text-align: left; padding: 0.2rem 0.4rem; border-bottom: 1px solid #333;
         vertical-align: top; }
.message { white-space: pre-wrap; overflow-wrap: anywhere; }
tr.green .result { color: #5fd36f; font-weight: bold; }
tr.red .result { color: #ff6b66; font-weight: bold; }
tr.blue .result { color: #7fa7ff; font-weight: bold; }
)CSS";
