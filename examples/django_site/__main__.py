"""Drives the small Django project with Django's test client:

    vesk run examples/django_site && vesk show
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
os.environ.setdefault("DJANGO_SETTINGS_MODULE", "django_site.settings")

import django  # noqa: E402
from django.test import Client  # noqa: E402


def main():
    django.setup()
    client = Client()
    for response in (client.post("/notes/", {"text": "buy tea"}), client.get("/notes/1/"),
                     client.get("/notes/7/")):
        print(response.status_code, response.json() if response.status_code < 400 else None)


main()
