#!/usr/bin/env python3
"""Checks the built documentation.

  check_docs.py manual MANUAL.html   the page has a title and text, and every
                                     relative link and picture resolves: the
                                     file exists beside the page and the
                                     #fragment names an id in the target page
  check_docs.py man PAGE.1 CLI       the man page names every subcommand that
                                     CLI --help lists, each with a section
"""
import html.parser
import os
import re
import subprocess
import sys
import urllib.parse


class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.ids, self.links, self.text = set(), [], []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if "id" in attrs:
            self.ids.add(attrs["id"])
        for name in ("href", "src"):
            if attrs.get(name) is not None:
                self.links.append(attrs[name])

    def handle_data(self, data):
        self.text.append(data)


def parse(path):
    page = Page()
    with open(path, encoding="utf-8") as f:
        page.feed(f.read())
    return page


def check_manual(path):
    faults = []
    page = parse(path)
    text = " ".join(page.text)
    if len(text.split()) < 500 or "<title>" not in open(path, encoding="utf-8").read():
        faults.append(f"{path}: no title, or hardly any text")
    folder = os.path.dirname(os.path.abspath(path))
    for link in page.links:
        parts = urllib.parse.urlsplit(link)
        if parts.scheme or parts.netloc:
            continue  # absolute: not ours to resolve
        target = os.path.join(folder, urllib.parse.unquote(parts.path)) if parts.path else path
        if not os.path.isfile(target):
            faults.append(f"{link}: no file {target}")
        elif parts.fragment and target.endswith(".html"):
            if parts.fragment not in parse(target).ids:
                faults.append(f"{link}: no id '{parts.fragment}' in {target}")
    return faults


def check_man(path, cli):
    help_text = subprocess.run([cli, "--help"], capture_output=True, text=True, check=True).stdout
    listed = re.search(r"\nSubcommands:\n((?:  .*\n)+)", help_text)
    names = re.findall(r"^  (\S+)", listed.group(1), re.M) if listed else []
    with open(path, encoding="utf-8") as f:
        page = f.read()
    faults = [] if len(names) >= 4 else [f"{cli} --help lists only {names}"]
    for name in names:
        if not re.search(rf'^\.SS "{re.escape(name)}"$', page, re.M):
            faults.append(f"{path}: no section for the subcommand {name}")
        if not re.search(rf"^\.B k4471\\-cli\n{re.escape(name)}\b", page, re.M):
            faults.append(f"{path}: no usage line for the subcommand {name}")
    if not page.startswith(".\\\"") or ".TH K4471-CLI \"1\"" not in page:
        faults.append(f"{path}: not a section 1 man page")
    return faults


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "manual":
        faults = check_manual(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "man":
        faults = check_man(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
