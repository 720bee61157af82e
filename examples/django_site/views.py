import logging

from django.db import connection
from django.http import Http404, JsonResponse

log = logging.getLogger("notes")


def _ensure_table():
    with connection.cursor() as cursor:
        cursor.execute("CREATE TABLE IF NOT EXISTS notes (id INTEGER PRIMARY KEY, text TEXT)")


def notes(request):
    _ensure_table()
    with connection.cursor() as cursor:
        if request.method == "POST":
            cursor.execute("INSERT INTO notes (text) VALUES (%s)", [request.POST["text"]])
            log.info("note added")
        cursor.execute("SELECT id, text FROM notes ORDER BY id")
        rows = cursor.fetchall()
    return JsonResponse({"notes": [{"id": i, "text": t} for i, t in rows]})


def note(request, note_id):
    _ensure_table()
    with connection.cursor() as cursor:
        cursor.execute("SELECT text FROM notes WHERE id = %s", [note_id])
        row = cursor.fetchone()
    if row is None:
        log.warning("no note %d", note_id)
        raise Http404("no such note")
    return JsonResponse({"id": note_id, "text": row[0]})
