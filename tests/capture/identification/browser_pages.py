#!/usr/bin/env python3
"""Record pages as a browser shows them, for checking identification.

browser_pages.py write DIR        writes DIR/<page>.html and DIR/pages.json
browser_pages.py render DIR       screenshots every page with headless Chromium
browser_pages.py check DIR BINARY [--patients FILE]
                                  runs `BINARY match --image` on every
                                  screenshot and prints right / nobody / wrong
                                  per kind of page and per zoom; exits 1 when
                                  a wrong patient is proposed or a page
                                  without a patient proposes one.
browser_pages.py check-window DIR BINARY [--patients FILE] [--sources S,...]
                                  shows every page in Chromium on $DISPLAY
                                  (with its accessibility tree published) and
                                  runs `BINARY match --window` on its window,
                                  reading the page's own text ("page") and by
                                  recognition alone ("recognised"); prints
                                  right / nobody / wrong and the time to the
                                  card per source, checks that the page's text
                                  holds every name and date of the page exactly
                                  (accents included), and exits 1 on a wrong
                                  patient or a name or date not read exactly.
                                  Needs a session bus with the accessibility
                                  bus switched on (tests/support/with-a11y-bus
                                  --enabled).
--only N keeps every Nth page (a short run); --jobs J runs J at a time.
"""
import json, os, subprocess, sys, tempfile, time, concurrent.futures

HERE = os.path.dirname(os.path.abspath(__file__))
ZOOMS = [100, 125, 150]

# (given, surname, dob as shown, dob written another way) of today's patients
# as the pages show them; the patients file has their booked names.
SHOWN = {
    "Adaeze Okonjo": ("Adaeze", "Okonjo", "05/17/1984", "17 May 1984"),
    "Paola Moretti": ("Paola", "Moretti", "02/14/1951", "14-FEB-1951"),
    "Sigrun Aasheim": ("Sigrun K.", "Aasheim", "07/01/1990", "1990-07-01"),
    "Siobhan O'Connor": ("Siobhan", "O'Connor", "04/22/1975", "Apr 22, 1975"),
    "Hélène Leroy-Vasseur": ("Hélène", "Leroy-Vasseur", "12/05/1988", "05.12.1988"),
    "Callum MacLeod": ("Callum", "MacLeod", "06/30/1959", "30-JUN-1959"),
    "José Muñoz": ("José", "Muñoz", "11/2/75", "11/02/1975"),
    "Zoë Bennett": ("Zoë", "Bennett", "01/27/1993", "27 Jan 1993"),
    "Grace Ekwueme": ("Grace", "Ekwueme", "02/02/2016", "2016-02-02"),
    "Robert Hale": ("Robert", "Hale Jr.", "03/14/1948", "14-MAR-1948"),
    "Ana Lucía García Márquez": ("Ana Lucía", "García Márquez", "03/14/1979", "1979/03/14"),
    "Pieter van der Berg": ("Pieter", "van der Berg", "09/30/1955", "30 Sep 1955"),
    "Émile D'Amato": ("Émile", "D'Amato", "05/05/1963", "May 5 1963"),
    "Ingrid Sørensen": ("Ingrid", "Sørensen", "08/18/1969", "18.08.1969"),
    "Maria Teixeira": ("Maria", "Teixeira", "08/09/2012", "2012-08-09"),
    "Kieran Walsh": ("Kieran P.", "Walsh", "10/12/1966", "12-OCT-1966"),
}
RELATIVE = {  # a booked relative or namesake mentioned on the patient's page
    "Adaeze Okonjo": "seen with her brother Chike Okonjo",
    "Maria Teixeira": "Guardian: Rosa Maria Teixeira (mother)",
    "Grace Ekwueme": "Father: Kwame Ekwueme, emergency contact",
    "Kieran Walsh": "Accompanied by son Liam Walsh",
    "Zoë Bennett": "Referred by Dr. Ekwueme",
}
# People not on today's list, each beside a booked one the page names too:
# (given, surname, dob as shown, the booked person named on the page, as what).
UNBOOKED = [
    ("Samuel", "Ortega", "04/04/1966", "Kieran Walsh", "ordering"),
    ("Oscar", "Lindqvist", "02/02/1950", "Maria Teixeira", "contact"),
    ("Jimin", "Park", "07/07/1977", "Zoë Bennett", "collector"),
    ("Adanna", "Okonjo", "05/17/1984", "Adaeze Okonjo", "twin"),
    ("Bernadette", "Moreau", "12/24/1957", "Brigitte Moreau", "subscriber"),
    ("Chidi", "Ekwueme", "09/09/1970", "Grace Ekwueme", "guardian"),
]
# Booked people's dates of birth as the pages show them.
BOOKED_DOB = {"Kieran Walsh": "10/12/1966", "Maria Teixeira": "08/09/2012", "Zoë Bennett": "01/27/1993",
              "Adaeze Okonjo": "05/17/1984", "Brigitte Moreau": "12/24/1957", "Grace Ekwueme": "02/02/2016",
              "Rosa Maria Teixeira": "03/30/1981", "Kwame Ekwueme": "09/09/1970"}
# Pages in the languages of the clinic's screens: (booked name, the fields as shown).
FOREIGN = [
    ("Marie Dupont", [("Nom", "DUPONT"), ("Prénom", "Marie"), ("Né(e) le", "14/03/1979"), ("Sexe", "F")]),
    ("Hans Müller", [("Name", "Müller"), ("Vorname", "Hans"), ("Geburtsdatum", "14.03.1962"), ("Geschlecht", "m")]),
    ("Lucía Fernández", [("Paciente", "FERNÁNDEZ, Lucía"), ("Fecha de nacimiento", "21/10/2003"),
                         ("Edad", "23 años")]),
    ("François Lefèvre", [("Nom du patient", "LEFÈVRE François"), ("Date de naissance", "30/07/1971")]),
]
SCHEDULE = [("08:40", "Okonjo, Adaeze"), ("09:00", "Moretti, Paola"), ("09:20", "Walsh, Kieran"),
            ("09:40", "Chen, Mei"), ("10:00", "Kim, Daniel"), ("10:20", "Ruiz, Carmen"),
            ("10:40", "Haddad, Noor"), ("11:00", "Eriksson, Lars")]

CSS = """
body{font-family:%(font)s;margin:0;color:#1d2733;background:#fff;zoom:%(zoom)s%%}
.top{background:#1f4e79;color:#fff;padding:8px 16px;font-size:13px}
.banner{background:#eef3f8;border-bottom:1px solid #c7d3e0;padding:10px 16px}
.banner .name{font-size:22px;font-weight:bold}
.banner .facts{font-size:14px;margin-top:4px}
.tabs span{display:inline-block;padding:6px 12px;border:1px solid #c7d3e0;border-bottom:none;
  margin-right:4px;font-size:13px;background:#f6f8fa}
.tabs span.on{background:#fff;font-weight:bold}
.main{padding:12px 16px;font-size:14px;line-height:1.5}
.cols{display:flex}
.side{width:230px;background:#f4f6f8;border-right:1px solid #d5dbe1;padding:12px;font-size:14px}
.side .name{font-size:18px;font-weight:bold}
.sched{width:250px;border-right:1px solid #d5dbe1;padding:8px;font-size:13px}
.sched div{padding:4px 0;border-bottom:1px solid #eee;white-space:nowrap;overflow:hidden}
.msg{border:1px solid #d5dbe1;border-radius:6px;margin:8px 0;padding:8px}
.msg .who{font-weight:bold}
.dense{font-size:12px;line-height:1.25}
table{border-collapse:collapse} td{border:1px solid #ddd;padding:2px 6px}
"""

NOTE = ["Chief complaint: follow-up of blood pressure; home readings 130s/80s.",
        "Medications: lisinopril 10 mg daily, atorvastatin 20 mg nightly.",
        "Allergies: penicillin (rash). Immunizations up to date.",
        "Plan: continue current regimen, recheck BMP in 3 months."]


def page(kind, key, zoom, font):
    given, surname, dob, dob2 = SHOWN[key] if key else ("", "", "", "")
    rel = RELATIVE.get(key, "Visit with no companions.")
    head = "<html><head><meta charset='utf-8'><style>%s</style></head><body>" % (
        CSS % {"zoom": zoom, "font": font})
    top = "<div class='top'>Northside Family Clinic &nbsp; | &nbsp; Charts &nbsp; Schedule &nbsp; Messages &nbsp; Reports</div>"
    note = "".join("<p>%s</p>" % n for n in NOTE)
    if kind == "banner":
        body = (top + "<div class='banner'><div class='name'>%s, %s</div><div class='facts'>DOB %s &nbsp; "
                "F &nbsp; MRN 448%d &nbsp; PCP Dr. Hart</div></div>" % (surname.upper(), given.upper(), dob, len(key))
                + "<div class='main'><p>%s</p>%s</div>" % (rel, note))
    elif kind == "tabs":
        body = (top + "<div class='tabs' style='padding:8px 16px 0'><span>Schedule</span><span class='on'>%s %s</span>"
                "<span>Inbox</span></div><div class='main' style='border-top:1px solid #c7d3e0'>"
                "<p><b>Patient:</b> %s %s &nbsp; <b>Date of birth:</b> %s</p><p>%s</p>%s</div>"
                % (given, surname, given, surname, dob2, rel, note))
    elif kind == "side":
        body = (top + "<div class='cols'><div class='side'><div>Patient</div><div class='name'>%s %s</div>"
                "<div>DOB: %s</div><div>Room 3</div><div>Insurance: Aetna</div></div>"
                "<div class='main'><p>%s</p>%s</div></div>" % (given, surname, dob, rel, note))
    elif kind == "schedule":
        rows = "".join("<div>%s &nbsp; %s</div>" % r for r in SCHEDULE)
        body = (top + "<div class='cols'><div class='sched'><b>Today</b>%s</div><div style='flex:1'>"
                "<div class='banner'><div class='name'>%s, %s</div><div class='facts'>DOB %s</div></div>"
                "<div class='main'>%s</div></div></div>" % (rows, surname, given, dob, note))
    elif kind == "portal":
        body = (top + "<div class='banner'><div class='name'>%s %s</div><div class='facts'>DOB %s</div></div>"
                % (given, surname, dob) +
                "<div class='main'><h3>Messages</h3><div class='msg'><div class='who'>%s %s</div>"
                "<div>Dec 3, 2026 10:41 AM</div><p>Could I get a refill of my lisinopril before Friday?</p></div>"
                "<div class='msg'><div class='who'>Dr. Laura Hart, MD</div><div>Dec 3, 2026 2:15 PM</div>"
                "<p>Sent to your pharmacy. Please book a blood pressure check.</p></div>"
                "<div class='msg'><div class='who'>%s %s</div><div>Dec 4, 2026 8:02 AM</div><p>Thank you!</p></div></div>"
                % (given, surname, given, surname))
    elif kind == "dense":
        labs = "".join("<tr><td>%s</td><td>%s</td><td>%s</td></tr>" % r for r in [
            ("Sodium", "139 mmol/L", "12/01/2026"), ("Potassium", "4.4 mmol/L", "12/01/2026"),
            ("Creatinine", "0.9 mg/dL", "12/01/2026"), ("LDL", "96 mg/dL", "11/14/2026"),
            ("HbA1c", "5.8 %", "11/14/2026"), ("TSH", "2.1 mIU/L", "10/02/2026")])
        body = ("<div class='dense' style='padding:6px'><div>Northside Family Clinic - Lab review - printed 12/08/2026</div>"
                "<div>Patient: %s, %s &nbsp; DOB: %s &nbsp; MRN 5521%d &nbsp; Sex F</div><div>%s</div>"
                "<table>%s</table>%s</div>" % (surname, given, dob, len(key), rel, labs,
                                               "".join("<div>%s</div>" % n for n in NOTE * 3)))
    elif kind == "header":  # landmarks and headings as a page marks them up
        body = (top + "<header><h1 style='font-size:22px;margin:8px 16px 0'>%s, %s</h1>"
                "<dl style='margin:4px 16px;font-size:14px'><dt style='display:inline'>DOB</dt> "
                "<dd style='display:inline;margin:0 12px 0 4px'>%s</dd><dt style='display:inline'>MRN</dt> "
                "<dd style='display:inline;margin:0 0 0 4px'>448%d</dd></dl></header>"
                "<main class='main'><h2>Visit note</h2><p>%s</p>%s</main>"
                % (surname.upper(), given, dob, len(key), rel, note))
    elif kind == "split":  # the banner's name in pieces over two lines
        body = (top + "<div class='banner'><div class='name'><span>%s</span>,<br><span style='font-size:16px'>"
                "%s</span></div><div class='facts'><span>DOB</span> <span>%s</span> <span>(%s)</span></div></div>"
                "<div class='main'><p>%s</p>%s</div>" % (surname.upper(), given, dob, dob2, rel, note))
    elif kind == "table":  # demographics in a table with column headers
        body = (top + "<div class='main'><table><tr><th>Patient</th><th>Date of birth</th><th>MRN</th></tr>"
                "<tr><td>%s %s</td><td>%s</td><td>448%d</td></tr></table>"
                "<p><label for='n'>Note</label> <input id='n' value='follow-up' readonly></p><p>%s</p>%s</div>"
                % (given, surname, dob, len(key), rel, note))
    elif kind == "canvas":  # the banner drawn on a canvas: no text in the tree there
        body = (top + "<canvas id='c' width='700' height='70' style='display:block'></canvas>"
                "<script>var x=document.getElementById('c').getContext('2d');x.fillStyle='#eef3f8';"
                "x.fillRect(0,0,700,70);x.fillStyle='#1d2733';x.font='bold 22px DejaVu Sans';"
                "x.fillText(%s,16,30);x.font='14px DejaVu Sans';x.fillText(%s,16,56);</script>"
                "<div class='main'><p>%s</p>%s</div>"
                % (json.dumps("%s, %s" % (surname.upper(), given.upper())), json.dumps("DOB %s" % dob), rel, note))
    elif kind == "letter":  # the patient on the Re: line, booked clinicians around it
        body = ("<div class='main'><p><b>Northside Family Clinic</b><br>1200 Harbor Road, Springfield</p>"
                "<p>December 2, 2026</p><p>Dr. Liam Walsh<br>Cardiology Associates</p>"
                "<p><b>Re: %s %s, DOB %s</b></p><p>Dear Dr. Walsh,</p><p>%s</p><p>Sincerely,</p>"
                "<p>Kieran Walsh, MD</p></div>" % (given, surname, dob2, NOTE[0]))
    elif kind == "list":  # a schedule with nobody in focus
        rows = "".join("<tr><td>%s</td><td>%s</td><td>Room %d</td><td>Checked in</td></tr>" % (t, n, i + 1)
                       for i, (t, n) in enumerate(SCHEDULE))
        body = top + "<div class='main'><h3>Today's schedule</h3><table>%s</table></div>" % rows
    elif kind == "dashboard":
        body = (top + "<div class='main'><h3>Clinic dashboard</h3><p>Visits today: 42 &nbsp; No-shows: 3</p>"
                "<p>Open tasks: 7 &nbsp; Refill requests: 12</p><p>Fax queue: 4 unread</p>%s</div>" % note)
    else:
        raise ValueError(kind)
    return head + body + "</body></html>"


def other_page(kind, index, zoom, font):
    """Pages whose person is not on today's list, or is nobody's: each names
    booked people in other roles."""
    head = "<html><head><meta charset='utf-8'><style>%s</style></head><body>" % (
        CSS % {"zoom": zoom, "font": font})
    top = "<div class='top'>Northside Family Clinic &nbsp; | &nbsp; Charts &nbsp; Schedule &nbsp; Messages &nbsp; Reports</div>"
    given, surname, dob, booked, role = UNBOOKED[index % len(UNBOOKED)]
    bdob = BOOKED_DOB.get(booked, "01/01/1970")
    if kind == "result":
        body = (top + "<div class='main'><h3>Laboratory report</h3>"
                "<p><b>Patient:</b> %s, %s &nbsp; <b>DOB:</b> %s &nbsp; <b>MRN:</b> 55300%d</p>"
                "<p><b>Ordering provider:</b> Kieran Walsh, MD &nbsp; <b>Collected by:</b> %s</p>"
                "<table><tr><td>Hemoglobin A1c</td><td>6.1 %%</td><td>H</td></tr></table></div>"
                % (surname.upper(), given.upper(), dob, index, booked))
    elif kind == "insurance":
        body = (top + "<div class='main'><h3>Coverage</h3><p><b>Patient:</b> %s %s &nbsp; <b>DOB:</b> %s</p>"
                "<p><b>Subscriber:</b> %s &nbsp; <b>DOB:</b> %s &nbsp; <b>Relationship:</b> Parent</p>"
                "<p><b>Plan:</b> Northside Health PPO &nbsp; <b>Member ID:</b> XJ44712%d</p></div>"
                % (given, surname, dob, booked, bdob, index))
    elif kind == "contact":
        body = (top + "<div class='banner'><div class='name'>%s, %s</div><div class='facts'>DOB %s &nbsp; MRN 77%d"
                "</div></div><div class='cols'><div class='side'><div><b>Emergency contact</b></div>"
                "<div class='name'>%s</div><div>DOB %s</div><div>Phone 555 0144</div></div>"
                "<div class='main'>%s</div></div>"
                % (surname.upper(), given.upper(), dob, index, booked, bdob, "".join("<p>%s</p>" % n for n in NOTE)))
    elif kind == "twin":
        twin_given, twin_surname = "Adanna", "Okonjo"
        body = (top + "<div class='banner'><div class='name'>%s, %s</div><div class='facts'>DOB 05/17/1984 &nbsp; F"
                "</div></div><div class='main'><p>Sibling: Adaeze Okonjo (twin sister)</p>%s</div>"
                % (twin_surname.upper(), twin_given.upper(), "".join("<p>%s</p>" % n for n in NOTE)))
    elif kind == "deceased":
        b_given, b_surname = booked.split(" ", 1)
        body = (top + "<div class='banner'><div class='name'>%s, %s <span style='background:#333;color:#fff;"
                "padding:2px 6px;font-size:14px'>DECEASED</span></div><div class='facts'>DOB %s</div></div>"
                "<div class='main'>%s</div>" % (b_surname.upper(), b_given.upper(), bdob,
                                                "".join("<p>%s</p>" % n for n in NOTE)))
    elif kind == "census":
        rows = "".join("<tr><td>44712%02d</td><td>%s</td><td>%s</td><td>Room %d</td></tr>"
                       % (i, n.upper(), BOOKED_DOB.get(n, "01/01/1970"), i + 1)
                       for i, n in enumerate(BOOKED_DOB))
        body = top + "<div class='main'><h3>Ward census</h3><table>%s</table></div>" % rows
    else:
        raise ValueError(kind)
    return head + body + "</body></html>"


def foreign_page(index, zoom, font):
    booked, fields = FOREIGN[index]
    rows = "".join("<tr><td><b>%s :</b></td><td>%s</td></tr>" % f for f in fields)
    return ("<html><head><meta charset='utf-8'><style>%s</style></head><body><div class='main'>"
            "<h3>Dossier</h3><table>%s</table>%s</div></body></html>"
            % (CSS % {"zoom": zoom, "font": font}, rows, "".join("<p>%s</p>" % n for n in NOTE)))


def pages():
    fonts = ["'DejaVu Sans'", "'Liberation Sans', Arial", "'Liberation Serif', serif"]
    out = []
    keys = list(SHOWN)
    n = 0
    for kind in ["banner", "tabs", "side", "schedule", "portal", "dense", "letter", "header", "split", "table",
                 "canvas"]:
        for i, key in enumerate(keys):
            if (i + n) % 2:
                continue  # every other patient per kind keeps the corpus small
            zoom = ZOOMS[(i + n) % 3]
            out.append(("%s-%02d-%d" % (kind, i, zoom), kind, key, zoom, fonts[i % 3]))
        n += 1
    for kind in ["list", "dashboard", "census"]:
        for zoom in ZOOMS:
            out.append(("%s-%d" % (kind, zoom), kind, None, zoom, fonts[0]))
    for kind in ["result", "insurance", "contact", "twin", "deceased"]:
        for i in range(len(UNBOOKED)):
            out.append(("%s-%02d-%d" % (kind, i, ZOOMS[i % 3]), kind, i, ZOOMS[i % 3], fonts[i % 3]))
    for i, (booked, _) in enumerate(FOREIGN):
        for zoom in ZOOMS:
            out.append(("foreign-%02d-%d" % (i, zoom), "foreign", i, zoom, fonts[i % 3]))
    return out


def render_page(kind, key, zoom, font):
    if kind == "foreign":
        return foreign_page(key, zoom, font)
    if kind in ("result", "insurance", "contact", "twin", "deceased", "census"):
        return other_page(kind, key or 0, zoom, font)
    return page(kind, key, zoom, font)


def expected_of(kind, key):
    if kind == "foreign":
        return FOREIGN[key][0]
    if kind in ("result", "insurance", "contact", "twin", "deceased", "census"):
        return None
    return key


def write(folder):
    os.makedirs(folder, exist_ok=True)
    index = []
    for name, kind, key, zoom, font in pages():
        with open(os.path.join(folder, name + ".html"), "w", encoding="utf-8") as f:
            f.write(render_page(kind, key, zoom, font))
        index.append({"page": name, "kind": kind, "zoom": zoom, "expected": expected_of(kind, key)})
    with open(os.path.join(folder, "pages.json"), "w") as f:
        json.dump(index, f, indent=1, ensure_ascii=False)


CHROMIUM_FLAGS = ["--no-sandbox", "--headless", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--hide-scrollbars", "--force-device-scale-factor=1"]


def render_one(folder, name):
    png = os.path.abspath(os.path.join(folder, name + ".png"))
    html = os.path.abspath(os.path.join(folder, name + ".html"))
    if os.path.exists(png) and os.path.getmtime(png) >= os.path.getmtime(html):
        return
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as profile:
        subprocess.run(["chromium"] + CHROMIUM_FLAGS + ["--user-data-dir=" + profile, "--window-size=1100,700",
                        "--screenshot=" + png, "file://" + html],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)


def shown_words(key, kind):
    """The words of the names and dates a page of that kind shows for the
    patient, as the page writes them."""
    if not key or kind == "canvas":
        return []
    if kind == "foreign":
        fields = dict(FOREIGN)[key]
        return [w.rstrip(",") for label, value in fields if label not in ("Sexe", "Geschlecht", "Edad")
                for w in value.split()]
    given, surname, dob, dob2 = SHOWN[key]
    upper = {"banner": (True, True), "header": (False, True), "split": (False, True)}.get(kind, (False, False))
    words = (given.upper() if upper[0] else given).split() + (surname.upper() if upper[1] else surname).split()
    if kind in ("tabs", "letter"):
        words.append(dob2)
    elif kind == "split":
        words += [dob, "(%s)" % dob2]
    else:
        words.append(dob)
    return [w.rstrip(",") for w in words]


def run_window(binary, patients, html, sources):
    """Shows `html` in Chromium and reads its window with each source."""
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as profile:
        browser = subprocess.Popen(
            ["chromium"] + [f for f in CHROMIUM_FLAGS if f != "--headless"] +
            ["--user-data-dir=" + profile, "--window-size=1100,700", "--window-position=0,0",
             "--force-renderer-accessibility", "--password-store=basic", "file://" + os.path.abspath(html)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            window = None
            for _ in range(150):
                found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(browser.pid)],
                                       capture_output=True, text=True).stdout.split()
                if found:
                    window = found[-1]
                    # The page is read once its tree holds the page's text.
                    text = subprocess.run([binary, "ocr", "--accessible", window], capture_output=True,
                                          text=True, timeout=60).stdout
                    if "Northside" in text or "Lab review" in text:
                        break
                time.sleep(0.2)
            results = {}
            for source in sources:
                r = subprocess.run([binary, "match", "--patients", patients, "--window", window,
                                    "--page-text", "on" if source == "page" else "off"],
                                   capture_output=True, timeout=300)
                results[source] = json.loads(r.stdout.decode()) if r.stdout else {"proposed": None,
                                                                                  "reason": "failed"}
            return results
        finally:
            browser.terminate()
            browser.wait()


def check_window(folder, binary, patients, sources, only):
    if not os.path.exists(os.path.join(folder, "pages.json")):
        write(folder)
    tally = {s: {} for s in sources}
    times = {s: [] for s in sources}
    inexact = 0
    for p in selected(folder, only):
        got = run_window(binary, patients, os.path.join(folder, p["page"] + ".html"), sources)
        for source in sources:
            proposed, result = outcome(got[source], p["expected"])
            count(tally[source], (p["kind"], "zoom %d" % p["zoom"], "all"), result)
            times[source].append(got[source].get("read_ms", 0) + got[source].get("decide_ms", 0))
            if result != "right":
                print("%-22s %-10s %-7s expected %-26s got %s (%s, %s, tree %s)" % (
                    p["page"], source, result, p["expected"] or "nobody", proposed or "nobody",
                    got[source].get("reason"), got[source].get("source"),
                    (got[source].get("page_text") or {}).get("status")))
        page = got.get("page")
        if page and page.get("source", "").startswith("text from the page") and p["kind"] != "canvas":
            text = page.get("text") or ""
            missing = [w for w in shown_words(p["expected"], p["kind"]) if w not in text]
            if missing:
                inexact += 1
                print("%-22s page text lacks %s" % (p["page"], missing))
                if os.environ.get("KC_SHOW_TEXT"):
                    print(text)
    status = 0
    for source in sources:
        print()
        print("source: %s   time to card (ms): median %d, 90th percentile %d" % (
            source, percentile(times[source], 50), percentile(times[source], 90)))
        status |= print_tally("pages", tally[source])
    print("pages whose names and dates the page's text does not hold exactly: %d" % inexact)
    return 1 if status or inexact else 0


def percentile(values, p):
    if not values:
        return 0
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def outcome(got, expected):
    """right, nobody or wrong, for the JSON of `match` and the name expected."""
    proposed = got["proposed"]["name"] if got.get("proposed") else None
    return proposed, "right" if proposed == expected else "nobody" if proposed is None else "wrong"


def count(tally, groups, result):
    for group in groups:
        tally.setdefault(group, {"right": 0, "nobody": 0, "wrong": 0})[result] += 1


def print_tally(title, tally):
    print("%-12s %6s %6s %6s" % (title, "right", "nobody", "wrong"))
    for group, t in tally.items():
        print("%-12s %6d %6d %6d" % (group, t["right"], t["nobody"], t["wrong"]))
    return 1 if any(t["wrong"] for t in tally.values()) else 0


def selected(folder, only):
    index = json.load(open(os.path.join(folder, "pages.json")))
    return index[::only] if only > 1 else index


def main():
    args = sys.argv[1:]
    only, jobs, patients = 1, 1, os.path.join(HERE, "patients.json")
    for opt in ("--only", "--jobs", "--patients"):
        if opt in args:
            i = args.index(opt)
            val = args[i + 1]
            del args[i:i + 2]
            if opt == "--only":
                only = int(val)
            elif opt == "--jobs":
                jobs = int(val)
            else:
                patients = val
    if len(args) < 2:
        print(__doc__)
        return 2
    sources = ["page", "recognised"]
    if "--sources" in args:
        i = args.index("--sources")
        sources = args[i + 1].split(",")
        del args[i:i + 2]
    cmd, folder = args[0], args[1]
    if cmd == "check-window" and len(args) == 3:
        return check_window(folder, args[2], patients, sources, only)
    if cmd == "write":
        write(folder)
        return 0
    if cmd == "render":
        with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
            list(pool.map(lambda p: render_one(folder, p["page"]), selected(folder, only)))
        return 0
    if cmd != "check" or len(args) != 3:
        print(__doc__)
        return 2
    binary = args[2]

    def run(p):
        r = subprocess.run([binary, "match", "--patients", patients, "--image",
                            os.path.join(folder, p["page"] + ".png")], capture_output=True, timeout=300)
        got = json.loads(r.stdout.decode()) if r.stdout else {"proposed": None, "reason": "failed"}
        return p, got
    tally = {}
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        for p, got in pool.map(run, selected(folder, only)):
            proposed, result = outcome(got, p["expected"])
            count(tally, (p["kind"], "zoom %d" % p["zoom"], "all"), result)
            if result != "right":
                print("%-22s %-7s expected %-26s got %s (%s)" % (p["page"], result, p["expected"] or "nobody",
                                                                proposed or "nobody", got.get("reason")))
    return print_tally("pages", tally)


if __name__ == "__main__":
    sys.exit(main())
