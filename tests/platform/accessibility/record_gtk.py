#!/usr/bin/python3
"""A GTK 3 window showing a patient record, for reading its accessibility tree.

record_gtk.py [TITLE]: a 600x400 window at (0, 0) with the patient's name in
large type, a "Date of birth:" label bound to a read-only field with the
date, and a note. Runs until killed.
"""
import sys
import gi
gi.require_version("Gtk", "3.0")
from gi.repository import Gtk

window = Gtk.Window(title=sys.argv[1] if len(sys.argv) > 1 else "Record")
window.set_default_size(600, 400)
window.move(0, 0)
grid = Gtk.Grid(row_spacing=8, column_spacing=12, margin=16)
name = Gtk.Label(xalign=0)
name.set_markup("<span size='xx-large' weight='bold'>LEFÈVRE, Zoë</span>")
grid.attach(name, 0, 0, 2, 1)
born = Gtk.Label(label="Date of birth:", xalign=0)
date = Gtk.Entry(text="05/17/2001", editable=False)
born.set_mnemonic_widget(date)
grid.attach(born, 0, 1, 1, 1)
grid.attach(date, 1, 1, 1, 1)
grid.attach(Gtk.Label(label="MRN 123456", xalign=0), 0, 2, 2, 1)
grid.attach(Gtk.Label(label="Seen with her mother Inès Lefèvre.", xalign=0), 0, 3, 2, 1)
window.add(grid)
window.connect("destroy", Gtk.main_quit)
window.show_all()
Gtk.main()
