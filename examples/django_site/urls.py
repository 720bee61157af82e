from django.urls import path

from django_site import views

urlpatterns = [
    path("notes/", views.notes, name="notes"),
    path("notes/<int:note_id>/", views.note, name="note"),
]
